#include "bridge/MqttLink.h"

#include <glib.h>
#include <mosquitto.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "core/Clock.h"

namespace sablewick {
namespace {

constexpr unsigned kFirstBackoffMs = 1000;
constexpr unsigned kLastBackoffMs = 60000;
constexpr uint32_t kConnectTimeoutMs = 30000;
constexpr uint32_t kReportMs = 60000;

// libmosquitto is loaded when a bridge is first made, not linked: with the TLS libraries it
// pulls in it would cost every node about 2 MB of resident memory, bridge or not.
#define SABLEWICK_MOSQUITTO_CALLS(X) \
  X(connack_string) \
  X(connect_async) \
  X(connect_callback_set) \
  X(destroy) \
  X(disconnect) \
  X(disconnect_callback_set) \
  X(lib_init) \
  X(log_callback_set) \
  X(loop_misc) \
  X(loop_read) \
  X(loop_write) \
  X(message_callback_set) \
  X(new) \
  X(publish) \
  X(reconnect_async) \
  X(socket) \
  X(strerror) \
  X(subscribe) \
  X(tls_set) \
  X(username_pw_set) \
  X(want_write) \
  X(will_set)

struct MosquittoCalls {
#define X(name) decltype(&::mosquitto_##name) name##_ = nullptr;
  SABLEWICK_MOSQUITTO_CALLS(X)
#undef X
};

MosquittoCalls calls;

// Loads the library once; the reason when it cannot be used.
const std::string& LoadMosquitto() {
  static const std::string failure = [] {
    void* lib = ::dlopen("libmosquitto.so.1", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return std::string("libmosquitto.so.1 cannot be loaded: ") + ::dlerror();
#define X(name)                                                                          \
  calls.name##_ = reinterpret_cast<decltype(calls.name##_)>(::dlsym(lib, "mosquitto_" #name)); \
  if (calls.name##_ == nullptr) return std::string("libmosquitto.so.1 lacks mosquitto_" #name);
    SABLEWICK_MOSQUITTO_CALLS(X)
#undef X
    calls.lib_init_();
    return std::string();
  }();
  return failure;
}

const MosquittoCalls& Mosq() { return calls; }

struct LinkSource {
  GSource base;
  MqttLink* link;
};

std::string ErrorText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return Mosq().strerror_(rc);
}

}  // namespace

MqttLink::MqttLink(Settings settings, const Clock& clock,
                   std::function<void(const std::string&)> log)
    : settings_(std::move(settings)),
      clock_(clock),
      log_(std::move(log)),
      tick_([this] { Tick(); }),
      retry_([this] { Attempt(); }, /*oneShot=*/true) {
}

MqttLink::~MqttLink() {
  Stop();
  if (mosq_ != nullptr) Mosq().destroy_(mosq_);
}

bool MqttLink::Start(std::string* error) {
  const std::string& unusable = LoadMosquitto();
  if (!unusable.empty()) {
    if (error != nullptr) *error = unusable;
    return false;
  }
  tick_.Start(1000);
  Attempt();
  return true;
}

bool MqttLink::UseCredentials(const Credentials& fresh, std::string& why) {
  if (clientMade_ && fresh == inUse_) return true;
  if (mosq_ != nullptr) Mosq().destroy_(mosq_);
  mosq_ = nullptr;
  clientMade_ = false;
  everAttempted_ = false;  // a new client connects, it cannot reconnect
  mosq_ = Mosq().new_(settings_.clientId.c_str(), true, this);
  if (mosq_ == nullptr) {
    why = "the MQTT client could not be made";
    return false;
  }
  Mosq().connect_callback_set_(mosq_, &MqttLink::ConnectCallback);
  Mosq().disconnect_callback_set_(mosq_, &MqttLink::DisconnectCallback);
  Mosq().message_callback_set_(mosq_, &MqttLink::MessageCallback);
  Mosq().log_callback_set_(mosq_, &MqttLink::LogCallback);
  if (!fresh.username.empty()) {
    const int rc = Mosq().username_pw_set_(
        mosq_, fresh.username.c_str(), fresh.password.empty() ? nullptr : fresh.password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) {
      why = "user name refused: " + ErrorText(rc);
      return false;
    }
  }
  if (!fresh.caFile.empty()) {
    const int rc = Mosq().tls_set_(mosq_, fresh.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      why = "CA file " + fresh.caFile + " cannot be used: " + ErrorText(rc);
      return false;
    }
  }
  if (!settings_.willTopic.empty()) {
    const int rc = Mosq().will_set_(mosq_, settings_.willTopic.c_str(),
                                    static_cast<int>(settings_.willPayload.size()),
                                    settings_.willPayload.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
      why = "last will refused: " + ErrorText(rc);
      return false;
    }
  }
  inUse_ = fresh;
  clientMade_ = true;
  return true;
}

void MqttLink::AttemptNow() {
  if (stopping_ || connected_ || attempting_) return;
  backoffMs_ = kFirstBackoffMs;
  Attempt();
}

void MqttLink::Stop() {
  if (stopping_) return;
  stopping_ = true;
  retry_.Stop();
  tick_.Stop();
  if (mosq_ == nullptr) return;
  if (connected_) {
    // What is queued (the last word "offline" among it) gets about a second to leave.
    auto pending = [&] { return Mosq().socket_(mosq_) >= 0 && Mosq().want_write_(mosq_); };
    for (int i = 0; i < 100 && connected_ && (pending() || !queue_.empty()); ++i) {
      Flush();
      pollfd p{Mosq().socket_(mosq_), POLLOUT, 0};
      if (pending() && ::poll(&p, 1, 10) > 0) Mosq().loop_write_(mosq_, 1);
    }
    // All out: a clean goodbye. Otherwise the socket just closes, and the broker publishes the
    // last will ("offline") in our place.
    if (connected_ && !pending() && queue_.empty()) {
      Mosq().disconnect_(mosq_);
      for (int i = 0; i < 100 && pending(); ++i) {
        pollfd p{Mosq().socket_(mosq_), POLLOUT, 0};
        if (::poll(&p, 1, 10) > 0) Mosq().loop_write_(mosq_, 1);
      }
    }
  }
  Unwatch();
  connected_ = false;
}

void MqttLink::Attempt() {
  if (stopping_) return;
  retry_.Stop();
  Unwatch();
  // The files are read again for every attempt: a password or CA file fixed since the last
  // one is used now, and one that cannot be read now stops the attempt.
  Credentials fresh;
  std::string why;
  bool usable;
  if (ReadCredentials) {
    usable = ReadCredentials(fresh, why);
  } else {
    fresh.username = settings_.username;
    fresh.password = settings_.password;
    fresh.caFile = settings_.caFile;
    usable = true;
  }
  if (usable && !credentialProblem_.empty() && log_) {
    log_(BrokerText() + ": " +
         (fresh.passwordFile.empty() ? std::string("the files") : fresh.passwordFile) +
         " read again; connecting");
  }
  if (usable) credentialProblem_.clear();
  if (usable) usable = UseCredentials(fresh, why);
  if (!usable) {
    downReason_ = BrokerText() + ": not connecting: " + why;
    // Once for each new reason: the same one is read again quietly at every attempt.
    if (why != credentialProblem_ && log_) {
      log_(downReason_ + "; read again before each attempt, the next in " +
           std::to_string(backoffMs_ / 1000) + " s");
    }
    credentialProblem_ = why;
    Retry();
    return;
  }
  const int rc = everAttempted_ ? Mosq().reconnect_async_(mosq_)
                                : Mosq().connect_async_(mosq_, settings_.host.c_str(),
                                                          settings_.port,
                                                          settings_.keepAliveSeconds);
  everAttempted_ = true;
  if (rc != MOSQ_ERR_SUCCESS) {
    Note(BrokerText() + ": cannot connect: " + Why(rc));
    Retry();
    return;
  }
  attempting_ = true;
  closeExplained_ = false;
  tlsError_.clear();
  attemptStarted_ = clock_.TickCount();
  Watch();
}

void MqttLink::Retry() {
  if (stopping_ || retry_.Enabled()) return;
  retry_.Start(backoffMs_);
  backoffMs_ = backoffMs_ * 2 > kLastBackoffMs ? kLastBackoffMs : backoffMs_ * 2;
}

void MqttLink::Watch() {
  const int fd = Mosq().socket_(mosq_);
  if (fd < 0) return;
  // The library opens it without close-on-exec; a started script that kept it would keep
  // the connection (and hold back the last will) after the node is gone.
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  static GSourceFuncs funcs = {&MqttLink::Prepare, nullptr, &MqttLink::Dispatch, nullptr,
                               nullptr, nullptr};
  source_ = g_source_new(&funcs, sizeof(LinkSource));
  reinterpret_cast<LinkSource*>(source_)->link = this;
  // Writable too until the connect has finished (or failed).
  watchingWrite_ = true;
  tag_ = g_source_add_unix_fd(source_, fd, static_cast<GIOCondition>(G_IO_IN | G_IO_OUT));
  g_source_attach(source_, nullptr);
}

void MqttLink::Unwatch() {
  if (source_ == nullptr) return;
  g_source_destroy(source_);
  g_source_unref(source_);
  source_ = nullptr;
  tag_ = nullptr;
}

gboolean MqttLink::Prepare(GSource* source, gint* timeout) {
  MqttLink* self = reinterpret_cast<LinkSource*>(source)->link;
  *timeout = -1;
  const bool write = self->mosq_ != nullptr && Mosq().want_write_(self->mosq_);
  // Changing the watched events wakes the context (the next poll returns at once), so only
  // touch them when the library's wish to write has changed: otherwise the loop never sleeps.
  if (write != self->watchingWrite_) {
    self->watchingWrite_ = write;
    g_source_modify_unix_fd(source, self->tag_,
                            static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR |
                                                      (write ? G_IO_OUT : 0)));
  }
  return FALSE;
}

gboolean MqttLink::Dispatch(GSource* source, GSourceFunc, gpointer) {
  MqttLink* self = reinterpret_cast<LinkSource*>(source)->link;
  self->OnSocket(g_source_query_unix_fd(source, self->tag_));
  return G_SOURCE_CONTINUE;
}

void MqttLink::OnSocket(unsigned condition) {
  // Writing first finishes a pending connect (or learns that it failed) before reading.
  int rc = MOSQ_ERR_SUCCESS;
  if ((condition & G_IO_OUT) != 0) rc = Mosq().loop_write_(mosq_, 1);
  if ((condition & (G_IO_IN | G_IO_HUP | G_IO_ERR)) != 0 && Mosq().socket_(mosq_) >= 0) {
    rc = Mosq().loop_read_(mosq_, 1);
  }
  AfterIo(rc);
}

void MqttLink::AfterIo(int rc) {
  if (Mosq().socket_(mosq_) < 0) {
    // The library closed the socket, mostly saying why through the disconnect callback; a
    // failed TLS handshake closes it without a word.
    if (!closeExplained_ && !stopping_) {
      Note(BrokerText() + (connected_ ? ": connection lost: " : ": cannot connect: ") + Why(rc));
    }
    Unwatch();
    connected_ = false;
    attempting_ = false;
    Retry();
    return;
  }
  Flush();
}

void MqttLink::Tick() {
  if (mosq_ == nullptr || source_ == nullptr) return;
  int rc = MOSQ_ERR_SUCCESS;
  if (connected_) {
    rc = Mosq().loop_misc_(mosq_);
  } else if (attempting_ && clock_.TickCount() - attemptStarted_ > kConnectTimeoutMs) {
    Note(BrokerText() + ": cannot connect: no answer within 30 s");
    Unwatch();
    attempting_ = false;
    Retry();
    return;
  }
  AfterIo(rc);
}

void MqttLink::ConnectCallback(mosquitto*, void* obj, int rc) {
  auto* self = static_cast<MqttLink*>(obj);
  self->attempting_ = false;
  if (rc != 0) {
    self->refused_ = true;
    std::string line =
        self->BrokerText() + " refused the connection: " + Mosq().connack_string_(rc);
    // 4: bad user name or password; 5: not authorised (what Mosquitto answers a wrong password).
    const Credentials& c = self->inUse_;
    if ((rc == 4 || rc == 5) && !c.username.empty()) {
      line += c.passwordFile.empty()
                  ? " (user " + c.username + ", no password)"
                  : " (the broker refused the password of user " + c.username + " from " +
                        c.passwordFile + "; the file is read again before each attempt)";
    }
    self->Note(line);
    return;
  }
  self->connected_ = true;
  self->backoffMs_ = kFirstBackoffMs;
  self->lastFailure_.clear();
  self->downReason_.clear();
  if (self->log_) {
    self->log_("MQTT connected to " + self->settings_.host + ":" +
               std::to_string(self->settings_.port) + " as " + self->settings_.clientId);
  }
  if (self->OnConnected) self->OnConnected();
}

void MqttLink::DisconnectCallback(mosquitto*, void* obj, int rc) {
  auto* self = static_cast<MqttLink*>(obj);
  const bool was = self->connected_;
  const bool refused = self->refused_;
  self->connected_ = false;
  self->attempting_ = false;
  self->refused_ = false;
  self->closeExplained_ = true;
  if (self->stopping_) return;
  if (!was) {
    // A connection that failed before the broker accepted it (a TLS handshake, a closed port);
    // a refusal was logged with its reason already.
    if (!refused) self->Note(self->BrokerText() + ": cannot connect: " + self->Why(rc));
    return;
  }
  self->downReason_ = "connection lost: " + ErrorText(rc);
  if (self->log_) {
    self->log_("MQTT connection lost: " + ErrorText(rc) + "; queued " +
               std::to_string(self->queue_.size()) + ", dropped " +
               std::to_string(self->droppedTotal_));
  }
}

// The library says why a TLS handshake failed only in its log: the TLS library's words.
void MqttLink::LogCallback(mosquitto*, void* obj, int level, const char* text) {
  auto* self = static_cast<MqttLink*>(obj);
  if ((level & MOSQ_LOG_ERR) == 0 || text == nullptr || !self->tlsError_.empty()) return;
  const std::string_view line(text);
  constexpr std::string_view kTls = "OpenSSL Error";
  if (line.substr(0, kTls.size()) != kTls) return;
  const size_t colon = line.find(": ");
  self->tlsError_ = std::string(colon == std::string_view::npos ? line : line.substr(colon + 2));
}

std::string MqttLink::Why(int rc) const {
  std::string why = ErrorText(rc);
  if (rc == MOSQ_ERR_TLS && !inUse_.caFile.empty()) {
    why += " (CA file " + inUse_.caFile;
    if (!tlsError_.empty()) why += ": " + tlsError_;
    why += ")";
  }
  return why;
}

void MqttLink::MessageCallback(mosquitto*, void* obj, const mosquitto_message* m) {
  auto* self = static_cast<MqttLink*>(obj);
  if (!self->OnMessage || m == nullptr || m->topic == nullptr) return;
  const std::string_view payload(static_cast<const char*>(m->payload),
                                 m->payload == nullptr ? 0 : static_cast<size_t>(m->payloadlen));
  self->OnMessage(m->topic, payload, m->retain);
}

void MqttLink::Subscribe(const std::string& filter, int qos) {
  if (mosq_ != nullptr) Mosq().subscribe_(mosq_, nullptr, filter.c_str(), qos);
}

void MqttLink::Publish(std::string topic, std::string payload, bool retain, int qos) {
  Pending p{std::move(topic), std::move(payload), retain, qos};
  if (connected_ && queue_.empty() && !Mosq().want_write_(mosq_) && PublishNow(p)) return;
  queuedBytes_ += p.topic.size() + p.payload.size();
  queue_.push_back(std::move(p));
  uint64_t dropped = 0;
  while (queue_.size() > settings_.maxQueued || queuedBytes_ > settings_.maxQueuedBytes) {
    queuedBytes_ -= queue_.front().topic.size() + queue_.front().payload.size();
    queue_.pop_front();
    ++dropped;
  }
  if (dropped > 0) Drop(dropped, "queue full");
}

bool MqttLink::PublishNow(const Pending& p) {
  const int rc = Mosq().publish_(mosq_, nullptr, p.topic.c_str(),
                                   static_cast<int>(p.payload.size()), p.payload.data(), p.qos,
                                   p.retain);
  switch (rc) {
    case MOSQ_ERR_SUCCESS:
      return true;
    case MOSQ_ERR_NO_CONN:
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_ERRNO:
      return false;  // stays queued for the next connection
    default:
      Drop(1, Mosq().strerror_(rc));  // this message can never be sent
      return true;
  }
}

void MqttLink::Flush() {
  // Bounded by the queue's length; a socket that stops keeping pace ends it early.
  while (connected_ && !queue_.empty() && !Mosq().want_write_(mosq_)) {
    if (!PublishNow(queue_.front())) return;
    queuedBytes_ -= queue_.front().topic.size() + queue_.front().payload.size();
    queue_.pop_front();
  }
}

void MqttLink::Drop(uint64_t count, const char* why) {
  droppedTotal_ += count;
  droppedUnreported_ += count;
  const uint32_t now = clock_.TickCount();
  if (dropReported_ && now - lastDropReport_ < kReportMs) return;
  dropReported_ = true;
  lastDropReport_ = now;
  if (log_) {
    log_("MQTT messages dropped: " + std::to_string(droppedUnreported_) + " (" + why +
         "); queued " + std::to_string(queue_.size()));
  }
  droppedUnreported_ = 0;
}

std::string MqttLink::BrokerText() const {
  return "MQTT broker " + settings_.host + ":" + std::to_string(settings_.port);
}

void MqttLink::Note(const std::string& line) {
  downReason_ = line;
  // The same failure again is logged at most once a minute.
  const uint32_t now = clock_.TickCount();
  if (line == lastFailure_ && now - lastFailureLogged_ < kReportMs) return;
  lastFailure_ = line;
  lastFailureLogged_ = now;
  if (log_) log_(line);
}

}  // namespace sablewick
