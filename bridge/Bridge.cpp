#include "bridge/Bridge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "bridge/Mapping.h"
#include "ini/ConfigCheck.h"
#include "ini/IniTool.h"
#include "script/Control.h"
#include "script/Dispatcher.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

constexpr size_t kMaxPasswordFile = 4096;
constexpr size_t kMaxCaFile = 1u << 20;
constexpr int kRefusalsPerMinute = 10;

std::string InConfig(const App& app, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return app.AppPath + "/Config/" + path;
}

// "host", "host:port", "[v6]" or "[v6]:port"; false when the port is not a port.
bool SplitBroker(std::string_view broker, std::string& host, int& port) {
  std::string_view portText;
  if (!broker.empty() && broker.front() == '[') {
    const size_t close = broker.find(']');
    if (close == std::string_view::npos) return false;
    host = broker.substr(1, close - 1);
    const std::string_view rest = broker.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      portText = rest.substr(1);
    }
  } else if (broker.find(':') != broker.rfind(':')) {
    host = broker;  // a bare IPv6 address
  } else {
    const size_t colon = broker.find(':');
    host = broker.substr(0, colon);
    if (colon != std::string_view::npos) portText = broker.substr(colon + 1);
  }
  if (host.empty()) return false;
  if (portText.empty()) return broker.back() != ':';
  int p = 0;
  for (char c : portText) {
    if (c < '0' || c > '9' || p > 65535) return false;
    p = p * 10 + (c - '0');
  }
  if (p < 1 || p > 65535) return false;
  port = p;
  return true;
}

}  // namespace

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<std::string> {
    if (error != nullptr) *error = "PasswordFile " + path + " " + why;
    return std::nullopt;
  };
  // O_NONBLOCK: a FIFO in its place must not hold the node in open(); it fails the checks below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fail(std::string("cannot be opened: ") + std::strerror(errno));
  struct stat st {};
  std::string content;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0) {
    content.resize(kMaxPasswordFile + 1);
    const ssize_t n = ::read(fd, content.data(), content.size());
    content.resize(n > 0 ? static_cast<size_t>(n) : 0);
    ok = n >= 0;
  }
  ::close(fd);
  if (!ok) return fail("cannot be read");
  if (!S_ISREG(st.st_mode)) return fail("is not a regular file");
  if (st.st_uid != ::geteuid()) return fail("does not belong to this user");
  if ((st.st_mode & 077) != 0) return fail("may be read or written by others (chmod 600 it)");
  if (content.size() > kMaxPasswordFile) return fail("is too long");
  const size_t end = content.find_first_of("\r\n");
  if (end != std::string::npos) content.resize(end);
  return content;
}

std::optional<BridgeConfig> ReadBridgeConfig(const App& app, const IniTool& ini,
                                             std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<BridgeConfig> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (error != nullptr) error->clear();
  const std::string broker = ini.Read("MQTT", "Broker", "");
  if (broker.empty()) return std::nullopt;
  BridgeConfig c;
  c.caFile = InConfig(app, ini.Read("MQTT", "CAFile", ""));
  if (!c.caFile.empty()) {
    // The TLS library opens it with a blocking open(): it must be a regular file first.
    // (A missing one is said when the bridge starts.)
    struct stat st {};
    if (::stat(c.caFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return fail("CAFile " + c.caFile + " is " + FileKindName(st.st_mode) + ", not a regular file");
  }
  c.port = c.caFile.empty() ? 1883 : 8883;
  if (!SplitBroker(broker, c.host, c.port)) return fail("Broker " + broker + " is not host or host:port");
  c.clientId = ini.Read("MQTT", "ClientId", "sablewick-" + app.ComputerName);
  c.username = ini.Read("MQTT", "Username", "");
  c.passwordFile = InConfig(app, ini.Read("MQTT", "PasswordFile", ""));
  {
    const std::string rate = ini.Read("MQTT", "MaxSendsPerSecond", "");
    if (!rate.empty()) {
      if (rate.size() > 6 || rate.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(rate) == 0)
        return fail("MaxSendsPerSecond " + rate + " is not a number of messages from 1");
      c.maxSendsPerSecond = static_cast<unsigned>(std::stoul(rate));
    }
  }
  c.prefix = ini.Read("MQTT", "Prefix", "xap");
  while (c.prefix.size() > 1 && c.prefix.back() == '/') c.prefix.pop_back();
  if (c.prefix.find_first_of("+#") != std::string::npos) {
    return fail("Prefix " + c.prefix + " holds an MQTT wildcard");
  }
  // A Discovery key that is there but empty switches discovery off.
  bool discoveryKey = false;
  for (const std::string& key : ini.Keys("MQTT")) discoveryKey = discoveryKey || key == "DISCOVERY";
  c.discovery = ini.Read("MQTT", "Discovery", discoveryKey ? "" : "homeassistant");
  if (c.discovery.find_first_of("+#") != std::string::npos) {
    return fail("Discovery " + c.discovery + " holds an MQTT wildcard");
  }
  // Like every setting in seconds: a whole number up to a year, otherwise the default (the
  // settings check says so at start).
  const std::string remove = ini.Read("MQTT", "RemoveUnseenAfter", "0");
  if (!remove.empty() && remove.size() <= 8 &&
      remove.find_first_not_of("0123456789") == std::string::npos &&
      std::stoul(remove) <= 86400ul * 365) {
    c.removeUnseenSeconds = static_cast<uint32_t>(std::stoul(remove));
  }
  return c;
}

bool ReadBridgeCredentials(const BridgeConfig& config, MqttLink::Credentials& out,
                           std::string& why) {
  out = {};
  out.username = config.username;
  if (!config.passwordFile.empty()) {
    auto password = ReadPasswordFile(config.passwordFile, &why);
    if (!password) return false;
    out.password = std::move(*password);
    out.passwordFile = config.passwordFile;
  }
  if (!config.caFile.empty()) {
    // Read here, never blocking (the TLS library's open() would wait on a FIFO), so that a
    // CA file that changed makes a new client and one that went is said before any attempt.
    std::string reason;
    if (!ReadRegularFile(config.caFile, kMaxCaFile + 1, out.caText, reason)) {
      why = "CAFile " + config.caFile + ": " + reason;
      return false;
    }
    if (out.caText.size() > kMaxCaFile) {
      why =
          "CAFile " + config.caFile + " is larger than " + std::to_string(kMaxCaFile >> 20) + " MB";
      return false;
    }
    out.caFile = config.caFile;
  }
  return true;
}

Bridge::Bridge(App& app, BridgeConfig config, std::string nodeSource)
    : app_(app),
      config_(std::move(config)),
      nodeSource_(std::move(nodeSource)),
      statusTopic_(config_.prefix + "/status/" + TopicLevel(nodeSource_)),
      bsc_(config_.prefix, config_.discovery, statusTopic_, kMaxEndpoints),
      expire_([this] { Expire(); }) {
  bsc_.SetNode(nodeSource_, SABLEWICK_VERSION);
  bsc_.SetForgetUnseenAfter(uint64_t{config_.removeUnseenSeconds} * 1000u);
}

Bridge::~Bridge() { Stop(); }

bool Bridge::Start(std::string* error) {
  MqttLink::Settings s;
  s.host = config_.host;
  s.port = config_.port;
  s.clientId = config_.clientId;
  s.willTopic = statusTopic_;
  s.willPayload = "offline";
  link_ = std::make_unique<MqttLink>(std::move(s), *app_.clock,
                                     [this](const std::string& line) { Log(line); });
  link_->ReadCredentials = [this](MqttLink::Credentials& out, std::string& why) {
    return ReadBridgeCredentials(config_, out, why);
  };
  link_->OnConnected = [this] { OnConnected(); };
  link_->OnMessage = [this](std::string_view topic, std::string_view payload, bool retained) {
    if (retained) {
      OnRetained(topic, payload);
    } else if (!bsc_.RestoreTopic(topic)) {
      OnMqttMessage(topic, payload);
    }
  };
  if (!link_->Start(error)) return false;
  expire_.Start(1000);
  return true;
}

void Bridge::Stop() {
  expire_.Stop();
  if (!link_) return;
  if (link_->Connected()) link_->Publish(statusTopic_, "offline", true, 1);
  link_->Stop();
  link_.reset();
}

void Bridge::AttemptNow() {
  if (link_) link_->AttemptNow();
}

void Bridge::Log(const std::string& line) { LogToFile(app_, "Sablewick", line); }

void Bridge::Publish(std::vector<Publication> publications) {
  for (Publication& p : publications) {
    link_->Publish(std::move(p.topic), std::move(p.payload), p.retain);
  }
}

void Bridge::OnConnected() {
  // The retained configs and states of earlier runs first: the endpoints they name take
  // commands before their devices have reported in this run.
  for (const std::string& filter : bsc_.RestoreFilters()) link_->Subscribe(filter);
  link_->Subscribe(config_.prefix + "/out");
  link_->Subscribe(config_.prefix + "/out/raw");
  link_->Subscribe(bsc_.CommandFilter());
  link_->Publish(statusTopic_, "online", true, 1);
  Publish(bsc_.Replay());
  // Devices already running report their state now rather than at their next info. BSC
  // devices match the endpoint part of an address on its own: "*.*.*:>" reaches every
  // endpoint of a three-part device, where some take ">" for the part before the ':' only
  // and others refuse it; ">" reaches devices without endpoints and longer addresses.
  SendXap(app_, "*.*.*:>", "xAPBSC.query", "request", "");
  SendXap(app_, ">", "xAPBSC.query", "request", "");
}

void Bridge::OnRetained(std::string_view topic, std::string_view payload) {
  // What the broker kept: this bridge's own configs and states come back at every
  // connection; a retained command would be carried out again at every connection.
  if (topic.substr(topic.size() < 4 ? 0 : topic.size() - 4) == "/set" ||
      topic == config_.prefix + "/out" || topic == config_.prefix + "/out/raw") {
    Refuse(topic, "a retained message is not a command; publish without retain");
    return;
  }
  Publish(bsc_.Restore(topic, payload, app_.clock->TickCount()));
}

void Bridge::Expire() {
  if (link_) Publish(bsc_.Expire(app_.clock->TickCount()));
}

void Bridge::OnHeartbeat(std::string_view text) {
  // A heartbeat has the shape of a message with a first line of its own.
  constexpr std::string_view kHead = "xap-hbeat";
  if (!link_ || text.size() < kHead.size()) return;
  XapMessage heartbeat;
  heartbeat.FromXap("xap-header" + std::string(text.substr(kHead.size())));
  OnXapMessage(heartbeat);
}

void Bridge::OnXapMessage(const XapMessage& msg) {
  if (!link_ || !msg.Parsed()) return;
  link_->Publish(InTopic(config_.prefix, msg), MessageJson(msg), false);
  Publish(bsc_.Observe(msg, app_.clock->TickCount()));
  if (bsc_.Full() && !fullReported_) {
    fullReported_ = true;
    Log("MQTT: " + std::to_string(bsc_.Size()) +
        " BSC endpoints known; further endpoints are not announced");
  }
}

void Bridge::Refuse(std::string_view topic, const std::string& reason) {
  // Whoever can publish to the broker must not be able to fill the log.
  const uint32_t now = app_.clock->TickCount();
  if (now - refusalWindow_ >= 60000 || refusalsInWindow_ == 0) {
    refusalWindow_ = now;
    refusalsInWindow_ = 0;
  }
  if (++refusalsInWindow_ > kRefusalsPerMinute) {
    ++refusalsUnlogged_;
    return;
  }
  std::string line = "MQTT message on ";
  line += topic;
  line += " not sent: ";
  line += reason;
  if (refusalsUnlogged_ > 0) {
    line += " (" + std::to_string(refusalsUnlogged_) + " more refused before, not logged)";
    refusalsUnlogged_ = 0;
  }
  Log(line);
}

bool Bridge::TakeSendToken() {
  const uint32_t now = app_.clock->TickCount();
  const double rate = config_.maxSendsPerSecond;
  if (!sendBucketStarted_) {
    sendBucketStarted_ = true;
    sendTokens_ = rate;
  } else {
    sendTokens_ = std::min(rate, sendTokens_ + (now - sendRefill_) * rate / 1000.0);
  }
  sendRefill_ = now;
  if (sendTokens_ >= 1) {
    sendTokens_ -= 1;
    return true;
  }
  ++sendsDropped_;
  ++sendsDroppedUnlogged_;
  // The first drop at once, then at most a line a minute.
  if (!sendDropEverLogged_ || now - sendDropLogged_ >= 60000) {
    Log("MQTT -> xAP: " + std::to_string(sendsDroppedUnlogged_) +
        " messages dropped past [MQTT] MaxSendsPerSecond=" +
        std::to_string(config_.maxSendsPerSecond) + " (" + std::to_string(sendsDropped_) +
        " in all)");
    sendDropEverLogged_ = true;
    sendDropLogged_ = now;
    sendsDroppedUnlogged_ = 0;
  }
  return false;
}

void Bridge::OnMqttMessage(std::string_view topic, std::string_view payload) {
  if (!TakeSendToken()) return;
  std::string reason;
  if (topic == config_.prefix + "/out") {
    if (auto text = XapFromJson(payload, {nodeSource_, app_.UID}, &reason)) {
      SendXapText(app_, *text);
      return;
    }
  } else if (topic == config_.prefix + "/out/raw") {
    if (auto text = CheckRawXap(payload, &reason)) {
      SendXapText(app_, *text);
      return;
    }
  } else if (auto cmd = bsc_.FromCommand(topic, payload, &reason)) {
    SendXap(app_, cmd->target, "xAPBSC.cmd", "output.state.1", cmd->items);
    return;
  }
  Refuse(topic, reason);
}

Bridge::Status Bridge::State() const {
  Status s;
  s.broker = config_.host + ":" + std::to_string(config_.port);
  if (link_) {
    s.connected = link_->Connected();
    s.queued = link_->Queued();
    s.dropped = link_->Dropped();
    if (!s.connected) s.down = link_->DownReason();
  }
  s.sendsDropped = sendsDropped_;
  return s;
}

std::string Bridge::StatusText() const {
  const Status s = State();
  return std::string("MQTT ") + (s.connected ? "connected to " : "not connected to ") + s.broker +
         ", queued " + std::to_string(s.queued) + ", dropped " + std::to_string(s.dropped);
}

namespace {

// Makes app.bridge from the settings and starts it; what became of it, in words.
std::string StartBridgeLink(App& app) {
  std::string outcome = "off (no [MQTT] Broker)";
  StepRunner step(app, "Sablewick", "StartBridge", ReportVia::Log);
  step([&] {
    IniTool ini(app);
    ini.Load(app.AppPath + "/Config/Sablewick.ini");
    std::string error;
    std::optional<BridgeConfig> config = ReadBridgeConfig(app, ini, &error);
    if (!config) {
      if (!error.empty()) {
        LogToFile(app, "Sablewick", "MQTT bridge off: " + error);
        outcome = "off: " + error;
      }
      return;
    }
    const std::string source = app.xap ? app.xap->XapSource() : std::string("Unknown");
    auto bridge = std::make_shared<Bridge>(app, std::move(*config), source);
    if (!bridge->Start(&error)) {
      LogToFile(app, "Sablewick", "MQTT bridge off: " + error);
      outcome = "off: " + error;
      return;
    }
    app.bridge = std::move(bridge);
    outcome = "connecting to " + app.bridge->State().broker;
    if (app.xap) {
      Bridge* b = app.bridge.get();
      app.xap->OnHeartbeat = [b](std::string_view text) { b->OnHeartbeat(text); };
    }
    if (app.dispatcher) {
      Bridge* b = app.bridge.get();
      app.dispatcher->OnParsed = [b](const XapMessage& msg) { b->OnXapMessage(msg); };
    }
  });
  return outcome;
}

}  // namespace

void StartBridge(App& app) {
  if (app.control) {
    // sablewick-ctl status: the fields read the bridge of the moment (none while it is off,
    // and a bridge that a reload starts shows up).
    app.control->AddStatus([&app](StatusFields& fields) {
      if (!app.bridge) return;
      const Bridge::Status s = app.bridge->State();
      fields.push_back({"mqtt.broker", vbs::Variant::String(s.broker)});
      fields.push_back({"mqtt.connected", vbs::Variant::Boolean(s.connected)});
      fields.push_back({"mqtt.queued", vbs::Variant::Double(static_cast<double>(s.queued))});
      fields.push_back({"mqtt.dropped", vbs::Variant::Double(static_cast<double>(s.dropped))});
      if (!s.connected) {
        fields.push_back(
            {"mqtt.down", vbs::Variant::String(s.down.empty() ? "connecting" : s.down)});
      }
      fields.push_back(
          {"mqtt.sends_dropped", vbs::Variant::Double(static_cast<double>(s.sendsDropped))});
    });
  }
  StartBridgeLink(app);
}

std::string RestartBridge(App& app) {
  StopBridge(app);
  return StartBridgeLink(app);
}

void StopBridge(App& app) {
  if (app.dispatcher) app.dispatcher->OnParsed = nullptr;
  if (app.xap) app.xap->OnHeartbeat = nullptr;
  if (app.bridge) app.bridge->Stop();
  app.bridge.reset();
}

}  // namespace sablewick
