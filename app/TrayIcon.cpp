#include "app/TrayIcon.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>

#include "core/BusSource.h"
#include "core/Log.h"

namespace sablewick {
namespace {

// ---- Drawing ------------------------------------------------------------------------------

struct Rgb {
  double r, g, b;
};

// Colours in the spirit of a 16-colour icon: pure, saturated, readable on light and dark panels.
constexpr Rgb kYellow{1.0, 0.86, 0.0};
constexpr Rgb kRed{0.85, 0.0, 0.0};
constexpr Rgb kHeartRed{0.90, 0.05, 0.12};
constexpr Rgb kHeartEdge{0.55, 0.0, 0.05};

// Samples per pixel along each axis: enough for smooth edges at 16 px without washing out.
constexpr int kSuper = 5;

// Renders one size: shade(x, y) gives the colour and coverage (0 or 1) of a point in pixel
// coordinates; the supersamples are averaged with premultiplied colour, then stored straight.
TrayPixmap Render(int size, const std::function<bool(double, double, Rgb&)>& shade) {
  TrayPixmap p;
  p.width = p.height = size;
  p.argb.resize(static_cast<size_t>(size) * size * 4);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      double a = 0, r = 0, g = 0, b = 0;
      for (int sy = 0; sy < kSuper; ++sy) {
        for (int sx = 0; sx < kSuper; ++sx) {
          Rgb c{};
          if (shade(px + (sx + 0.5) / kSuper, py + (sy + 0.5) / kSuper, c)) {
            a += 1;
            r += c.r;
            g += c.g;
            b += c.b;
          }
        }
      }
      uint8_t* out = &p.argb[(static_cast<size_t>(py) * size + px) * 4];
      const double n = kSuper * kSuper;
      out[0] = static_cast<uint8_t>(std::lround(255 * a / n));
      if (a > 0) {
        out[1] = static_cast<uint8_t>(std::lround(255 * r / a));
        out[2] = static_cast<uint8_t>(std::lround(255 * g / a));
        out[3] = static_cast<uint8_t>(std::lround(255 * b / a));
      }
    }
  }
  return p;
}

struct Point {
  double x, y;
};

double DistanceToSegment(Point p, Point a, Point b) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
  return std::sqrt(ex * ex + ey * ey);
}

// The centre line of the letter: two elliptic bowls, the upper one running counter-clockwise
// from its upper right to its bottom, the lower one clockwise from its top to its lower left.
std::vector<Point> LetterSPath(double size, double margin) {
  // A letter is narrower than it is tall: about four parts wide to five high.
  const double rx = (size - 2 * margin) * 0.4;
  const double ry = (size - 2 * margin) / 4;
  const Point top{size / 2, margin + ry};
  const Point bottom{size / 2, size - margin - ry};
  std::vector<Point> path;
  constexpr int kSteps = 48;
  constexpr double kDeg = 3.14159265358979323846 / 180;
  for (int i = 0; i <= kSteps; ++i) {  // 35 deg -> 270 deg (y grows downwards)
    const double t = (35 + (270 - 35) * double(i) / kSteps) * kDeg;
    path.push_back({top.x + rx * std::cos(t), top.y - ry * std::sin(t)});
  }
  for (int i = 0; i <= kSteps; ++i) {  // 90 deg -> -145 deg
    const double t = (90 - (90 + 145) * double(i) / kSteps) * kDeg;
    path.push_back({bottom.x + rx * std::cos(t), bottom.y - ry * std::sin(t)});
  }
  return path;
}

TrayPixmap DrawLetterSAt(int size) {
  // Stroke widths in pixels: a core of about two pixels and a one-pixel rim at 16 px.
  const double core = std::max(1.0, 0.065 * size);
  const double rim = std::max(0.95, 0.045 * size);
  const std::vector<Point> path = LetterSPath(size, core + rim + 0.25);
  return Render(size, [&](double x, double y, Rgb& c) {
    double d = 1e9;
    for (size_t i = 1; i < path.size(); ++i) {
      d = std::min(d, DistanceToSegment({x, y}, path[i - 1], path[i]));
    }
    if (d <= core) {
      c = kYellow;
      return true;
    }
    if (d <= core + rim) {
      c = kRed;
      return true;
    }
    return false;
  });
}

// The classic implicit heart (x^2 + y^2 - 1)^3 - x^2 y^3 <= 0, y up, spanning about
// [-1.14, 1.14] x [-1, 1.23].
bool InHeart(double x, double y) {
  const double q = x * x + y * y - 1;
  return q * q * q - x * x * y * y * y <= 0;
}

TrayPixmap DrawHeartAt(int size) {
  const double scale = (size - 1.0) / 2.4;  // heart units per pixel, half a pixel of margin
  const double edge = std::max(0.8, 0.04 * size) / scale;  // the darker rim, in heart units
  return Render(size, [&](double px, double py, Rgb& c) {
    const double x = (px - size / 2.0) / scale;
    const double y = (size / 2.0 - py) / scale + 0.12;
    if (!InHeart(x, y)) return false;
    // Inside the heart but outside a copy shrunk by the rim's width: the rim.
    const double shrink = 1.0 / (1.0 - edge / 1.1);
    c = InHeart(x * shrink, (y - 0.1) * shrink + 0.1) ? kHeartRed : kHeartEdge;
    return true;
  });
}

TrayImage DrawAll(TrayPixmap (*draw)(int)) {
  TrayImage img;
  for (int size : kTrayIconSizes) img.pixmaps.push_back(draw(size));
  return img;
}

// ---- D-Bus plumbing ------------------------------------------------------------------------

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

// Closes a container whose opening succeeded; sd-bus calls return negative errno.
#define BUS_TRY(expr)          \
  do {                         \
    const int r_ = (expr);     \
    if (r_ < 0) return r_;     \
  } while (0)

int AppendPixmaps(sd_bus_message* m, const TrayImage& img) {
  BUS_TRY(sd_bus_message_open_container(m, 'a', "(iiay)"));
  for (const TrayPixmap& p : img.pixmaps) {
    BUS_TRY(sd_bus_message_open_container(m, 'r', "iiay"));
    BUS_TRY(sd_bus_message_append(m, "ii", p.width, p.height));
    BUS_TRY(sd_bus_message_append_array(m, 'y', p.argb.data(), p.argb.size()));
    BUS_TRY(sd_bus_message_close_container(m));
  }
  return sd_bus_message_close_container(m);
}

template <class T>
int AppendVariant(sd_bus_message* m, const char* type, T value) {
  BUS_TRY(sd_bus_message_open_container(m, 'v', type));
  BUS_TRY(sd_bus_message_append_basic(m, type[0], &value));
  return sd_bus_message_close_container(m);
}

int AppendDictEntry(sd_bus_message* m, const char* name, const char* type, const void* value) {
  BUS_TRY(sd_bus_message_open_container(m, 'e', "sv"));
  BUS_TRY(sd_bus_message_append_basic(m, 's', name));
  BUS_TRY(sd_bus_message_open_container(m, 'v', type));
  BUS_TRY(sd_bus_message_append_basic(m, type[0], value));
  BUS_TRY(sd_bus_message_close_container(m));
  return sd_bus_message_close_container(m);
}

// The menu as dbusmenu sees it: id 0 is the root, ids 1.. are the items in order.
struct MenuView {
  const std::vector<std::string>& captions;

  bool Exists(int32_t id) const { return id >= 0 && id <= static_cast<int32_t>(captions.size()); }
  bool IsSeparator(int32_t id) const { return id > 0 && captions[id - 1] == "-"; }

  // The item's properties, restricted to names when that list is not empty.
  int AppendProperties(sd_bus_message* m, int32_t id, const std::vector<std::string>& names) const {
    auto wanted = [&](const char* name) {
      return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
    };
    BUS_TRY(sd_bus_message_open_container(m, 'a', "{sv}"));
    const int yes = 1;
    if (id == 0) {
      if (wanted("children-display")) BUS_TRY(AppendDictEntry(m, "children-display", "s", "submenu"));
    } else if (IsSeparator(id)) {
      if (wanted("type")) BUS_TRY(AppendDictEntry(m, "type", "s", "separator"));
      if (wanted("visible")) BUS_TRY(AppendDictEntry(m, "visible", "b", &yes));
    } else {
      if (wanted("type")) BUS_TRY(AppendDictEntry(m, "type", "s", "standard"));
      if (wanted("label")) BUS_TRY(AppendDictEntry(m, "label", "s", captions[id - 1].c_str()));
      if (wanted("enabled")) BUS_TRY(AppendDictEntry(m, "enabled", "b", &yes));
      if (wanted("visible")) BUS_TRY(AppendDictEntry(m, "visible", "b", &yes));
    }
    return sd_bus_message_close_container(m);
  }

  // (ia{sv}av): the item and, depth permitting (-1: all), its children.
  int AppendLayout(sd_bus_message* m, int32_t id, int32_t depth,
                   const std::vector<std::string>& names) const {
    BUS_TRY(sd_bus_message_open_container(m, 'r', "ia{sv}av"));
    BUS_TRY(sd_bus_message_append_basic(m, 'i', &id));
    BUS_TRY(AppendProperties(m, id, names));
    BUS_TRY(sd_bus_message_open_container(m, 'a', "v"));
    if (id == 0 && depth != 0) {
      for (int32_t child = 1; child <= static_cast<int32_t>(captions.size()); ++child) {
        BUS_TRY(sd_bus_message_open_container(m, 'v', "(ia{sv}av)"));
        BUS_TRY(AppendLayout(m, child, depth < 0 ? -1 : depth - 1, names));
        BUS_TRY(sd_bus_message_close_container(m));
      }
    }
    BUS_TRY(sd_bus_message_close_container(m));
    return sd_bus_message_close_container(m);
  }
};

// Reads an "as" argument; strv memory comes from libc.
int ReadStrings(sd_bus_message* m, std::vector<std::string>& out) {
  char** strv = nullptr;
  const int r = sd_bus_message_read_strv(m, &strv);
  if (r < 0) return r;
  for (char** s = strv; s && *s; ++s) {
    out.emplace_back(*s);
    free(*s);
  }
  free(strv);
  return 0;
}

}  // namespace

TrayImage DrawLetterS() { return DrawAll(&DrawLetterSAt); }
TrayImage DrawHeart() { return DrawAll(&DrawHeartAt); }

const sd_bus_vtable* TrayIcon::ItemVtable() {
  static const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("Id", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("Title", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("Status", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("WindowId", "i", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("IconName", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("OverlayIconName", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("AttentionIconName", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("AttentionMovieName", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("ItemIsMenu", "b", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("Menu", "o", GetItemProperty, 0, 0),
    SD_BUS_METHOD("ContextMenu", "ii", "", ItemActivate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Activate", "ii", "", ItemActivate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", ItemActivate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Scroll", "is", "", ItemScroll, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END};
  return vtable;
}

const sd_bus_vtable* TrayIcon::MenuVtable() {
  static const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", GetMenuProperty, 0, 0),
    SD_BUS_PROPERTY("TextDirection", "s", GetMenuProperty, 0, 0),
    SD_BUS_PROPERTY("Status", "s", GetMenuProperty, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "as", GetMenuProperty, 0, 0),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", MenuGetLayout, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", MenuGetGroupProperties, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetProperty", "is", "v", MenuGetProperty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Event", "isvu", "", MenuEvent, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", MenuEventGroup, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShow", "i", "b", MenuAboutToShow, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", MenuAboutToShowGroup, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END};
  return vtable;
}


// ---- The item ------------------------------------------------------------------------------

TrayIcon::TrayIcon(App& app)
    : app_(app), itemName_("org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1") {
  int r = sd_bus_open_user(&bus_);
  if (r < 0) {
    bus_ = nullptr;
    // Said plainly: on a server or over ssh this is the normal case, not a fault.
    NoIcon("");
    return;
  }
  sd_bus_set_description(bus_, "tray");
  if ((r = sd_bus_add_object_vtable(bus_, &itemSlot_, kItemPath, kItemInterface, ItemVtable(),
                                    this)) < 0 ||
      (r = sd_bus_add_object_vtable(bus_, &menuSlot_, kMenuPath, kMenuInterface, MenuVtable(),
                                    this)) < 0 ||
      (r = sd_bus_add_match_async(bus_, &watcherSlot_,
                                  "type='signal',sender='org.freedesktop.DBus',"
                                  "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                  "arg0='org.kde.StatusNotifierWatcher'",
                                  &TrayIcon::OnWatcherOwnerChanged, nullptr, this)) < 0) {
    CloseBus();
    NoIcon(std::string("cannot serve the icon on the session bus (") + std::strerror(-r) + ")");
    return;
  }
  source_ = std::make_unique<BusSource>(bus_, [this](int error) { BusLost(error); });
  if (!source_->Attached()) {
    CloseBus();
    NoIcon("no session bus connection");
  }
}

TrayIcon::~TrayIcon() {
  if (shown_) Update(false, image_);
  CloseBus();
}

void TrayIcon::CloseBus() {
  source_.reset();
  itemSlot_ = sd_bus_slot_unref(itemSlot_);
  menuSlot_ = sd_bus_slot_unref(menuSlot_);
  watcherSlot_ = sd_bus_slot_unref(watcherSlot_);
  registerSlot_ = sd_bus_slot_unref(registerSlot_);
  // Queued messages (a name release, a menu reply) still go out before the socket closes.
  if (bus_ != nullptr) bus_ = sd_bus_flush_close_unref(bus_);
  nameState_ = NameState::None;
}

void TrayIcon::NoIcon(const std::string& reason) {
  if (noIconLogged_) return;
  noIconLogged_ = true;
  LogToFile(
      app_, "Sablewick",
      reason.empty() ? std::string("no desktop session: no tray icon") : "no tray icon: " + reason);
}

void TrayIcon::BusLost(int error) {
  // The source is already detached; dropping the connection ends the icon for this run.
  source_.reset();
  CloseBus();
  NoIcon(std::string("lost the session bus (") + std::strerror(-error) + ")");
}

void TrayIcon::SetCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  if (shown_) {
    EmitItemSignal("NewTitle");
    EmitItemSignal("NewToolTip");
  }
}

void TrayIcon::SetMenu(std::vector<std::string> captions) {
  menu_ = std::move(captions);
  ++layoutRevision_;
  if (bus_ != nullptr) {
    sd_bus_emit_signal(bus_, kMenuPath, kMenuInterface, "LayoutUpdated", "ui", layoutRevision_,
                       int32_t{0});
  }
}

void TrayIcon::Update(bool IconOn, const TrayImage& img) {
  if (IconOn) {
    image_ = img;
    if (!shown_) {
      shown_ = true;
      RequestName();
    } else {
      EmitItemSignal("NewIcon");
    }
  } else {
    if (shown_) ReleaseName();
    shown_ = false;
  }
}

void TrayIcon::EmitItemSignal(const char* member) {
  if (bus_ != nullptr) sd_bus_emit_signal(bus_, kItemPath, kItemInterface, member, "");
}

// Hosts follow the item by its bus name: owning the name puts the icon up (with the watcher's
// help), releasing it takes the icon down while the connection stays.
void TrayIcon::RequestName() {
  if (bus_ == nullptr || nameState_ != NameState::None) return;
  const int r = sd_bus_request_name_async(bus_, nullptr, itemName_.c_str(), 0,
                                          &TrayIcon::OnNameRequested, this);
  if (r < 0) {
    NoIcon(std::string("cannot request a bus name (") + std::strerror(-r) + ")");
    return;
  }
  nameState_ = NameState::Requesting;
}

void TrayIcon::ReleaseName() {
  if (bus_ == nullptr) return;
  registerSlot_ = sd_bus_slot_unref(registerSlot_);
  // While a request is on its way, its reply handler sees shown_ false and releases.
  if (nameState_ == NameState::Owned) {
    sd_bus_release_name_async(bus_, nullptr, itemName_.c_str(), nullptr, nullptr);
    nameState_ = NameState::None;
  }
}

int TrayIcon::OnNameRequested(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  if (tray->nameState_ != NameState::Requesting) return 0;
  if (sd_bus_message_is_method_error(m, nullptr)) {
    tray->nameState_ = NameState::None;
    const sd_bus_error* e = sd_bus_message_get_error(m);
    tray->NoIcon(std::string("cannot own ") + tray->itemName_ + " (" +
                 (e && e->message ? e->message : "refused") + ")");
    return 0;
  }
  tray->nameState_ = NameState::Owned;
  if (!tray->shown_) {
    tray->ReleaseName();
    return 0;
  }
  tray->RegisterWithWatcher();
  return 0;
}

void TrayIcon::RegisterWithWatcher() {
  if (bus_ == nullptr || !shown_ || nameState_ != NameState::Owned) return;
  registerSlot_ = sd_bus_slot_unref(registerSlot_);
  const int r = sd_bus_call_method_async(bus_, &registerSlot_, kWatcherName, kWatcherPath,
                                         kWatcherName, "RegisterStatusNotifierItem",
                                         &TrayIcon::OnRegistered, this, "s", itemName_.c_str());
  if (r < 0) NoIcon(std::string("cannot register the icon (") + std::strerror(-r) + ")");
}

int TrayIcon::OnRegistered(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  tray->registerSlot_ = sd_bus_slot_unref(tray->registerSlot_);
  if (sd_bus_message_is_method_error(m, nullptr)) {
    const sd_bus_error* e = sd_bus_message_get_error(m);
    tray->NoIcon(std::string("no notification area host (") +
                 (e && e->name ? e->name : "no StatusNotifierWatcher") + ")");
  }
  return 0;
}

int TrayIcon::OnWatcherOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  // A (re)started host knows nothing of us: introduce the icon again.
  if (newOwner != nullptr && *newOwner != '\0') tray->RegisterWithWatcher();
  return 0;
}

int TrayIcon::GetItemProperty(sd_bus*, const char*, const char*, const char* property,
                              sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  const std::string_view p(property);
  if (p == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
  if (p == "Id") return sd_bus_message_append(reply, "s", "sablewick");
  if (p == "Title") return sd_bus_message_append(reply, "s", tray->caption_.c_str());
  if (p == "Status") return sd_bus_message_append(reply, "s", "Active");
  if (p == "WindowId") return sd_bus_message_append(reply, "i", int32_t{0});
  if (p == "IconPixmap") return AppendPixmaps(reply, tray->image_);
  if (p == "OverlayIconPixmap" || p == "AttentionIconPixmap") return AppendPixmaps(reply, {});
  if (p == "ToolTip") {
    BUS_TRY(sd_bus_message_open_container(reply, 'r', "sa(iiay)ss"));
    BUS_TRY(sd_bus_message_append(reply, "s", ""));
    BUS_TRY(AppendPixmaps(reply, {}));
    BUS_TRY(sd_bus_message_append(reply, "ss", tray->caption_.c_str(), ""));
    return sd_bus_message_close_container(reply);
  }
  if (p == "ItemIsMenu") return sd_bus_message_append(reply, "b", 1);
  if (p == "Menu") return sd_bus_message_append(reply, "o", kMenuPath);
  return sd_bus_message_append(reply, "s", "");  // the icon and movie names: none
}

// With ItemIsMenu set, hosts open the menu themselves; a host that still reports a click gets
// nothing else from us.
int TrayIcon::ItemActivate(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "");
}

int TrayIcon::ItemScroll(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "");
}

// ---- The menu ------------------------------------------------------------------------------

int TrayIcon::GetMenuProperty(sd_bus*, const char*, const char*, const char* property,
                              sd_bus_message* reply, void*, sd_bus_error*) {
  const std::string_view p(property);
  if (p == "Version") return sd_bus_message_append(reply, "u", uint32_t{3});
  if (p == "TextDirection") return sd_bus_message_append(reply, "s", "ltr");
  if (p == "Status") return sd_bus_message_append(reply, "s", "normal");
  return sd_bus_message_append(reply, "as", 0);  // IconThemePath
}

int TrayIcon::MenuGetLayout(sd_bus_message* m, void* self, sd_bus_error* error) {
  auto* tray = static_cast<TrayIcon*>(self);
  int32_t parent = 0, depth = -1;
  std::vector<std::string> names;
  BUS_TRY(sd_bus_message_read(m, "ii", &parent, &depth));
  BUS_TRY(ReadStrings(m, names));
  const MenuView menu{tray->menu_};
  if (!menu.Exists(parent)) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", parent);
  }
  sd_bus_message* reply = nullptr;
  BUS_TRY(sd_bus_message_new_method_return(m, &reply));
  int r = sd_bus_message_append(reply, "u", tray->layoutRevision_);
  if (r >= 0) r = menu.AppendLayout(reply, parent, depth, names);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int TrayIcon::MenuGetGroupProperties(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  const void* ids = nullptr;
  size_t size = 0;
  std::vector<std::string> names;
  BUS_TRY(sd_bus_message_read_array(m, 'i', &ids, &size));
  std::vector<int32_t> wanted(size / sizeof(int32_t));
  if (!wanted.empty()) std::memcpy(wanted.data(), ids, wanted.size() * sizeof(int32_t));
  BUS_TRY(ReadStrings(m, names));
  const MenuView menu{tray->menu_};
  sd_bus_message* reply = nullptr;
  BUS_TRY(sd_bus_message_new_method_return(m, &reply));
  int r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
  // Unknown ids are left out; the reply can hold no more items than the menu has.
  for (int32_t id = 0; r >= 0 && id <= static_cast<int32_t>(tray->menu_.size()); ++id) {
    if (std::find(wanted.begin(), wanted.end(), id) == wanted.end()) continue;
    r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
    if (r >= 0) r = sd_bus_message_append_basic(reply, 'i', &id);
    if (r >= 0) r = menu.AppendProperties(reply, id, names);
    if (r >= 0) r = sd_bus_message_close_container(reply);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int TrayIcon::MenuGetProperty(sd_bus_message* m, void* self, sd_bus_error* error) {
  auto* tray = static_cast<TrayIcon*>(self);
  int32_t id = 0;
  const char* name = nullptr;
  BUS_TRY(sd_bus_message_read(m, "is", &id, &name));
  const MenuView menu{tray->menu_};
  if (!menu.Exists(id)) return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", id);
  const std::string_view p(name);
  sd_bus_message* reply = nullptr;
  BUS_TRY(sd_bus_message_new_method_return(m, &reply));
  int r = 0;
  const int yes = 1;
  if (p == "label" && id > 0 && !menu.IsSeparator(id)) {
    r = AppendVariant(reply, "s", tray->menu_[id - 1].c_str());
  } else if (p == "type" && id > 0) {
    r = AppendVariant(reply, "s", menu.IsSeparator(id) ? "separator" : "standard");
  } else if ((p == "enabled" || p == "visible") && id > 0) {
    r = AppendVariant(reply, "b", yes);
  } else if (p == "children-display" && id == 0) {
    r = AppendVariant(reply, "s", "submenu");
  } else {
    sd_bus_message_unref(reply);
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no property %s", name);
  }
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

void TrayIcon::Click(int id) {
  if (inCallback_ || callback_ == nullptr) return;
  const MenuView menu{menu_};
  if (id <= 0 || !menu.Exists(id) || menu.IsSeparator(id)) return;
  inCallback_ = true;
  try {
    callback_->MenuArray_Click(id - 1);
  } catch (...) {
    // A failing menu action must not take the bus connection down with it.
  }
  inCallback_ = false;
}

int TrayIcon::MenuEvent(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  int32_t id = 0;
  const char* eventId = nullptr;
  BUS_TRY(sd_bus_message_read(m, "is", &id, &eventId));
  const bool clicked = std::strcmp(eventId, "clicked") == 0;
  // Answer first: the action may close the dialog, the icon or the whole program.
  BUS_TRY(sd_bus_reply_method_return(m, ""));
  if (clicked) tray->Click(id);
  return 1;
}

int TrayIcon::MenuEventGroup(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* tray = static_cast<TrayIcon*>(self);
  std::vector<int32_t> clicks, unknown;
  BUS_TRY(sd_bus_message_enter_container(m, 'a', "(isvu)"));
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'r', "isvu");
    if (r < 0) return r;
    if (r == 0) break;
    int32_t id = 0;
    const char* eventId = nullptr;
    uint32_t timestamp = 0;
    BUS_TRY(sd_bus_message_read(m, "is", &id, &eventId));
    BUS_TRY(sd_bus_message_skip(m, "v"));
    BUS_TRY(sd_bus_message_read(m, "u", &timestamp));
    BUS_TRY(sd_bus_message_exit_container(m));
    if (!MenuView{tray->menu_}.Exists(id)) {
      if (unknown.size() < tray->menu_.size() + 1) unknown.push_back(id);
    } else if (std::strcmp(eventId, "clicked") == 0 && clicks.size() < tray->menu_.size()) {
      clicks.push_back(id);
    }
  }
  BUS_TRY(sd_bus_message_exit_container(m));
  sd_bus_message* reply = nullptr;
  BUS_TRY(sd_bus_message_new_method_return(m, &reply));
  int r = sd_bus_message_append_array(reply, 'i', unknown.data(), unknown.size() * sizeof(int32_t));
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  BUS_TRY(r);
  for (int32_t id : clicks) tray->Click(id);
  return 1;
}

int TrayIcon::MenuAboutToShow(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "b", 0);
}

int TrayIcon::MenuAboutToShowGroup(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "aiai", 0, 0);
}

}  // namespace sablewick
