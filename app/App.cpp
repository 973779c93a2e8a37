#include "app/App.h"

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

}  // namespace sablewick
