#include "xap/SendHelper.h"

#include "core/Log.h"

namespace sablewick {

std::string ItemList(std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
  std::string out;
  for (const auto& [name, value] : items) {
    if (!out.empty()) out += '\0';
    out += name;
    out += '\1';
    out += value;
  }
  return out;
}

namespace {

void LogSendFailure(App& app, std::string_view data) {
  SetPendingError(app, 0);
  std::string message = "SendXap  ";
  message += data;
  LogToFile(app, "Sablewick", message);
}

// What waited for the transport goes first, in the order given. One message that cannot be
// sent is logged and does not hold back the ones after it.
void SendQueued(App& app) {
  if (app.sink == nullptr) throw Failure(kGenericFailure, "no transport");
  if (app.sendQueue.empty()) return;
  std::vector<XapQueuedMessage> queued;
  queued.swap(app.sendQueue);
  for (const XapQueuedMessage& q : queued) {
    try {
      app.sink->SendXap(q.MsgTarget, q.MsgClass, q.MsgSection, q.MsgData, q.MsgSubAddress,
                        q.MsgUID, q.MsgTargetSubAddress);
    } catch (...) {
      LogSendFailure(app, q.MsgData);
    }
  }
}

}  // namespace

void SendXapOrThrow(App& app, std::string_view sTarget, std::string_view sClass,
                    std::string_view sSection, std::string_view sData,
                    std::string_view sSubaddress, std::string_view sUID,
                    std::string_view sTargetSubaddress) {
  std::string subDevice;
  std::string_view uid = sUID;
  if (sUID.empty()) {
    uid = app.UID;
  } else if (sUID.size() == 2) {
    subDevice = std::string_view(app.UID).substr(0, 6);  // a sub-device of this node
    subDevice += sUID;
    uid = subDevice;
  }
  if (!app.xapReady) {
    app.sendQueue.push_back({std::string(sTarget), std::string(uid), std::string(sClass),
                             std::string(sSection), std::string(sData), std::string(sSubaddress),
                             std::string(sTargetSubaddress)});
    return;
  }
  SendQueued(app);
  // Straight from the caller's texts into the transport's buffer.
  app.sink->SendXap(sTarget, sClass, sSection, sData, sSubaddress, uid, sTargetSubaddress);
}

void SendXap(App& app, std::string_view sTarget, std::string_view sClass,
             std::string_view sSection, std::string_view sData, std::string_view sSubaddress,
             std::string_view sUID, std::string_view sTargetSubaddress) {
  try {
    SendXapOrThrow(app, sTarget, sClass, sSection, sData, sSubaddress, sUID, sTargetSubaddress);
  } catch (...) {
    LogSendFailure(app, sData);
  }
}

bool SendXapText(App& app, std::string_view text) {
  try {
    if (!app.xapReady) throw Failure(kGenericFailure, "the transport is not ready");
    SendQueued(app);
    app.sink->SendRawXap(text);
    return true;
  } catch (...) {
    SetPendingError(app, 0);
    LogToFile(app, "Sablewick", "SendXapText");
    return false;
  }
}

void SendEventReport(App& app, std::string_view time, std::string_view type,
                     std::string_view data) {
  SendXap(app, "", "Homeseer.Event", "Event.Log",
          ItemList({{"Time", time}, {"Type", type}, {"Data", data}}));
}

}  // namespace sablewick
