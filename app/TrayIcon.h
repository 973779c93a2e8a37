// The program's icon in the desktop's notification area: a StatusNotifierItem on the session
// bus with its menu exported over dbusmenu, both served directly on sd-bus. Hosts (the panel
// plugins of KDE, Xfce, MATE, LXQt, GNOME's AppIndicator extension) draw the icon from the
// pixmaps we send and open the menu themselves on a click of either button.
//
// Without a session bus, or with one but no notification host, the program runs on without an
// icon and says so once in its log; when a host appears later, the icon is registered with it.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/App.h"

namespace sablewick {

class BusSource;

// One size of an icon: ARGB32 with straight (not premultiplied) alpha, each pixel in network
// byte order (A, R, G, B), rows top to bottom, as IconPixmap carries it.
struct TrayPixmap {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> argb;
};

// An icon in the sizes panels ask for; hosts pick the closest and scale.
struct TrayImage {
  std::vector<TrayPixmap> pixmaps;
};

inline constexpr int kTrayIconSizes[] = {16, 22, 32};

// The normal icon: a yellow letter S outlined in red on a transparent background.
TrayImage DrawLetterS();
// The activity icon: a red heart on a transparent background.
TrayImage DrawHeart();

// What the tray tells its owner.
class TrayIconOwner {
 public:
  virtual ~TrayIconOwner() = default;
  // A menu item was chosen; Index is the item's position in the menu given to SetMenu.
  virtual void MenuArray_Click(int Index) = 0;
};

class TrayIcon {
 public:
  // Connects to the session bus; without one the icon stays absent (logged once).
  explicit TrayIcon(App& app);
  // Removes the icon and closes the connection, flushing what is still queued.
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // The caption is the tooltip.
  void SetCaption(const std::string& caption);
  const std::string& Caption() const { return caption_; }
  void SetCallback(TrayIconOwner* ob) { callback_ = ob; }
  // The menu's captions in order; "-" makes a separator.
  void SetMenu(std::vector<std::string> captions);

  // IconOn: show the icon with img, or change the image of the icon shown; otherwise remove it.
  // The shown state follows the request; whether a host displays it is its own matter.
  void Update(bool IconOn, const TrayImage& img);
  bool Shown() const { return shown_; }

  // The bus name under which the item is registered ("org.kde.StatusNotifierItem-PID-1").
  const std::string& ItemName() const { return itemName_; }
  bool Connected() const { return bus_ != nullptr; }

  static constexpr const char* kItemPath = "/StatusNotifierItem";
  static constexpr const char* kMenuPath = "/MenuBar";

 private:
  enum class NameState { None, Requesting, Owned };

  void RequestName();
  void ReleaseName();
  void RegisterWithWatcher();
  void NoIcon(const std::string& reason);
  void BusLost(int error);
  void CloseBus();
  void EmitItemSignal(const char* member);
  void Click(int id);

  static const sd_bus_vtable* ItemVtable();
  static const sd_bus_vtable* MenuVtable();
  static int OnNameRequested(sd_bus_message* m, void* self, sd_bus_error* error);
  static int OnRegistered(sd_bus_message* m, void* self, sd_bus_error* error);
  static int OnWatcherOwnerChanged(sd_bus_message* m, void* self, sd_bus_error* error);
  static int GetItemProperty(sd_bus* bus, const char* path, const char* interface,
                             const char* property, sd_bus_message* reply, void* self,
                             sd_bus_error* error);
  static int ItemActivate(sd_bus_message* m, void* self, sd_bus_error* error);
  static int ItemScroll(sd_bus_message* m, void* self, sd_bus_error* error);
  static int GetMenuProperty(sd_bus* bus, const char* path, const char* interface,
                             const char* property, sd_bus_message* reply, void* self,
                             sd_bus_error* error);
  static int MenuGetLayout(sd_bus_message* m, void* self, sd_bus_error* error);
  static int MenuGetGroupProperties(sd_bus_message* m, void* self, sd_bus_error* error);
  static int MenuGetProperty(sd_bus_message* m, void* self, sd_bus_error* error);
  static int MenuEvent(sd_bus_message* m, void* self, sd_bus_error* error);
  static int MenuEventGroup(sd_bus_message* m, void* self, sd_bus_error* error);
  static int MenuAboutToShow(sd_bus_message* m, void* self, sd_bus_error* error);
  static int MenuAboutToShowGroup(sd_bus_message* m, void* self, sd_bus_error* error);

  App& app_;
  std::string caption_;
  std::vector<std::string> menu_;
  TrayIconOwner* callback_ = nullptr;
  TrayImage image_;
  bool shown_ = false;
  bool inCallback_ = false;
  bool noIconLogged_ = false;
  NameState nameState_ = NameState::None;
  uint32_t layoutRevision_ = 1;
  std::string itemName_;

  sd_bus* bus_ = nullptr;
  std::unique_ptr<BusSource> source_;
  sd_bus_slot* itemSlot_ = nullptr;
  sd_bus_slot* menuSlot_ = nullptr;
  sd_bus_slot* watcherSlot_ = nullptr;
  sd_bus_slot* registerSlot_ = nullptr;
};

}  // namespace sablewick
