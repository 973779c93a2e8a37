#include "app/App.h"

#include "app/Log.h"
#include "app/TcpClient.h"
#include "engine/Engine.h"
#include "script/ObjectServer.h"

#include "script/Application.h"
#include "script/Control.h"
#include "script/Dispatcher.h"
#include "script/RunJournal.h"
#include "script/ScriptStarter.h"
#include "xap/Transport.h"

namespace sablewick {

App::App() = default;
App::~App() = default;

void XapSink::SendRawXap(std::string_view) {
  throw Failure(kGenericFailure, "this sender takes no raw text");
}

}  // namespace sablewick
