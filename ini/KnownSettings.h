// Every setting the node reads from its own INI files, with its default and the form its value
// must have: the one table of sections and keys. A key the node starts to read goes here too:
// the settings check (`sablewick-ctl check`, and the node at start) reports every other key of
// these sections as unknown. Header only, so that the tool needs nothing else.
#pragma once

#include <string_view>

namespace sablewick {

enum class SettingForm {
  Address,      // "Default" or an IPv4 address (a host name is looked up at start)
  AddressMask,  // "Default" or four dot-separated numbers matched against this machine's
  Uid,          // eight hex digits (double quotes are dropped)
  Seconds,      // a whole number of seconds, at most a year
  Text,         // any text; empty is a value of its own (the MQTT settings: empty means off)
  Count,        // a whole number (of kilobytes, files, ...), at most 999999999
};

struct KnownSetting {
  std::string_view file;  // below Config/
  std::string_view section;
  std::string_view key;
  std::string_view defaultValue;
  SettingForm form;
};

inline constexpr KnownSetting kKnownSettings[] = {
    {"Drumlin.ini", "Interface", "BroadcastAddress", "Default", SettingForm::Address},
    {"Drumlin.ini", "Interface", "InterfaceAddress", "Default", SettingForm::AddressMask},
    // Read by sablewick-hub, not by the node: the address the hub listens on (port 3639).
    {"Drumlin.ini", "Hub", "Listen", "Default", SettingForm::Address},
    {"Sablewick.ini", "General", "UID", "FF00E800", SettingForm::Uid},
    {"Sablewick.ini", "Scripts", "MaxRunSeconds", "0", SettingForm::Seconds},
    // The MQTT bridge (bridge/README.md): off while Broker is empty or missing.
    {"Sablewick.ini", "MQTT", "Broker", "", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "ClientId", "sablewick-<host name>", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "Username", "", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "PasswordFile", "", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "CAFile", "", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "Prefix", "xap", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "Discovery", "homeassistant", SettingForm::Text},
    {"Sablewick.ini", "MQTT", "RemoveUnseenAfter", "0", SettingForm::Seconds},
    {"Sablewick.ini", "MQTT", "MaxSendsPerSecond", "300", SettingForm::Count},
    {"Sablewick.ini", "Scripts", "MaxOutputKBPerMinute", "512", SettingForm::Count},
    {"Sablewick.ini", "Log", "MaxFileKB", "5120", SettingForm::Count},
    {"Sablewick.ini", "Log", "Files", "3", SettingForm::Count},
};

}  // namespace sablewick
