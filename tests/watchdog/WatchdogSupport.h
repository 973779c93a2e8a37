// Helpers shared by the watchdog tests: reading recorded messages, composing them as the
// transport puts them on the wire, golden files, and bounded runs of the main loop.
#pragma once

#include <glib.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/TestSupport.h"
#include "xap/XapMessage.h"

namespace sablewick::testing {

// The value of one item of a recorded message; empty when it is not there.
inline std::string ItemOf(const SentMessage& m, std::string_view name) {
  std::string_view data = m.data;
  while (!data.empty()) {
    const size_t end = data.find('\0');
    const std::string_view item = data.substr(0, end);
    const size_t sep = item.find('\1');
    if (sep != std::string_view::npos && item.substr(0, sep) == name) {
      return std::string(item.substr(sep + 1));
    }
    if (end == std::string_view::npos) break;
    data.remove_prefix(end + 1);
  }
  return {};
}

// One recorded message in a word or two: "query", "status OFF", "event WDT Recover", "x10 on".
inline std::string Gist(const SentMessage& m) {
  if (m.cls == "Homeseer.Event") return "event " + ItemOf(m, "Type");
  if (m.cls == "xAPBSC.event") return "status " + ItemOf(m, "State");
  if (m.cls == "wdt.echo") return "query";
  if (m.cls == "xap-x10.request") return "x10 " + ItemOf(m, "Command");
  return "other " + m.cls;
}

inline std::vector<std::string> Gists(const std::vector<SentMessage>& sent, size_t from = 0) {
  std::vector<std::string> out;
  for (size_t i = from; i < sent.size(); ++i) out.push_back(Gist(sent[i]));
  return out;
}

// The message as the transport composes it for the wire, from a node named "testhost".
inline std::string WireText(const SentMessage& m) {
  const std::string source = "Orbel.Script.testhost";
  XapMessage msg;
  msg.MsgClass = m.cls;
  msg.msgSource = m.subaddress.empty() ? source : source + ":" + m.subaddress;
  msg.MsgTarget = m.target.empty()             ? ""
                  : m.targetSubaddress.empty() ? m.target
                                               : m.target + ":" + m.targetSubaddress;
  msg.MsgUID = m.uid;
  msg.AddHeader();
  msg.AddSection(m.section);
  std::string_view data = m.data;
  while (!data.empty()) {
    const size_t end = data.find('\0');
    const std::string_view item = data.substr(0, end);
    const size_t sep = item.find('\1');
    if (sep != std::string_view::npos) {
      msg.AddItem(m.section, item.substr(0, sep), item.substr(sep + 1));
    }
    if (end == std::string_view::npos) break;
    data.remove_prefix(end + 1);
  }
  return msg.ToXap();
}

inline std::string WireTexts(const std::vector<SentMessage>& sent) {
  std::string out;
  for (const SentMessage& m : sent) out += WireText(m);
  return out;
}

// Compares text with golden/NAME; SABLEWICK_REBASELINE=1 rewrites the file instead.
inline std::string GoldenPath(const std::string& name) {
  return std::string(SABLEWICK_WATCHDOG_GOLDEN_DIR) + "/" + name;
}
inline bool Rebaseline() {
  return std::getenv("SABLEWICK_REBASELINE") != nullptr;
}

// Runs the default main context until done() holds or timeoutMs pass; false on time-out.
inline bool RunLoopUntil(const std::function<bool()>& done, unsigned timeoutMs = 5000) {
  bool timedOut = false;
  const guint guard = g_timeout_add(
      timeoutMs,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &timedOut);
  for (int i = 0; i < 100000 && !done() && !timedOut; ++i) g_main_context_iteration(nullptr, TRUE);
  if (!timedOut) g_source_remove(guard);
  return done();
}

}  // namespace sablewick::testing
