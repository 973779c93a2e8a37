// The program's state is made and destroyed here, where every subsystem's type is complete.
#include "core/App.h"

#include "core/ChildReaper.h"
#include "core/Log.h"
#include "engine/Engine.h"
#include "script/Application.h"
#include "script/Control.h"
#include "script/Dispatcher.h"
#include "script/ObjectServer.h"
#include "script/RunJournal.h"
#include "script/ScriptStarter.h"
#include "script/TcpClient.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"

namespace sablewick {

App::App() : SendEvent(&SendEventReport) {}
App::~App() = default;

}  // namespace sablewick
