#include "script/Dispatcher.h"

#include "app/Log.h"
#include "app/Text.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"
#include "xap/XapMessage.h"

namespace sablewick {

void Dispatcher::onMessage() {
  if (Dispatching) return;
  Dispatching = true;
  try {
    // Bounded by what is queued now plus what arrives meanwhile; the queue itself is bounded.
    for (;;) {
      std::string text = app_.xap->GetMessage();
      if (text.empty()) break;
      Readmessage(text);
    }
  } catch (...) {
    SetPendingError(app_, 0);
    LogToFile(app_, "Sablewick", "Main OnMessage");
  }
  Dispatching = false;
}

void Dispatcher::Readmessage(std::string_view text) {
  StepRunner step(app_, "Sablewick", "Readmessage", ReportVia::Log);
  ++MessageCounter;
  XapMessage msg(&app_);
  step([&] {
    msg.Init();
    msg.FromXap(text);
  });
  const std::string& own = app_.xap ? app_.xap->XapSource() : std::string();
  bool toUs = false;
  step([&] { toUs = msg.CompareTarget(own) || msg.CompareTarget("Unknown"); });

  bool isRole = false;
  step([&] { isRole = msg.CompareClass("Homeseer.Role"); });
  if (isRole) {
    step([&] {
      if (!toUs) return;
      const std::string role = ToLower(msg.GetItem("Role.Query", "Role"));
      if (role == "application" || role == "any") SendRoleNotification();
    });
    return;  // role messages are never offered to subscriptions
  }

  step([&] {
    if (!msg.CompareClass("WDT.Echo") || !toUs) return;
    const std::string query = msg.GetItem("Echo.Query", "Query");
    if (query != "Unknown") SendEchoResponse(msg, ToLower(query));
  });
}

void Dispatcher::SendRoleNotification() {
  SendXap(app_, "", "Homeseer.Role", "Role.Notification",
          ItemList({{"Role", "Application"}, {"Path", app_.ProgramPath}}));
}

void Dispatcher::SendEchoResponse(const XapMessage& query, std::string_view value) {
  SendXap(app_, query.msgSource, "WDT.Echo", "Echo.Response", ItemList({{"Response", value}}));
}

}  // namespace sablewick
