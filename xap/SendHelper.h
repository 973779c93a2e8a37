// The one sending helper every sender goes through: completes the UID, holds messages back
// until the transport is ready, and hands them on in the order given.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "core/App.h"

namespace sablewick {

// A failure to send is logged ("SendXap  " and the data); the caller goes on.
void SendXap(App& app, std::string_view sTarget, std::string_view sClass,
             std::string_view sSection, std::string_view sData, std::string_view sSubaddress = {},
             std::string_view sUID = {}, std::string_view sTargetSubaddress = {});
// The same, but a failure to send this message reaches the caller (messages held back
// before it are still sent, and logged when they fail).
void SendXapOrThrow(App& app, std::string_view sTarget, std::string_view sClass,
                    std::string_view sSection, std::string_view sData,
                    std::string_view sSubaddress = {}, std::string_view sUID = {},
                    std::string_view sTargetSubaddress = {});

// A complete xAP text, sent as it is once the transport is ready. Returns false (and logs)
// when it could not be sent.
bool SendXapText(App& app, std::string_view text);

// An event report (class Homeseer.Event, section Event.Log) to every listener.
void SendEventReport(App& app, std::string_view time, std::string_view type,
                     std::string_view data);

// The item-list form: name, char 1, value; items separated by char 0.
std::string ItemList(std::initializer_list<std::pair<std::string_view, std::string_view>> items);

}  // namespace sablewick
