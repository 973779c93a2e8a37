#include "tests/desktop/XDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace sablewick::testing {
namespace {

void Settle() { RunUntil([] { return false; }, 30); }

// Windows come and go while we look at them; Xlib's default handler would end the test.
int IgnoreXError(::Display*, XErrorEvent*) { return 0; }

}  // namespace

XDisplay::XDisplay() {
  server_ = std::make_unique<HelperProcess>(std::vector<std::string>{
      "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
  if (server_->Line().empty()) return;
  name_ = ":" + server_->Line();
  dpy_ = XOpenDisplay(name_.c_str());
  XSetErrorHandler(&IgnoreXError);
}

XDisplay::~XDisplay() {
  if (dpy_) XCloseDisplay(dpy_);
}

std::vector<XWindow> XDisplay::Windows(const std::string& title) {
  std::vector<XWindow> found;
  Window root = DefaultRootWindow(dpy_), parent, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(dpy_, root, &root, &parent, &children, &n)) return found;
  for (unsigned i = 0; i < n && i < 4096; ++i) {
    XWindowAttributes attrs;
    char* name = nullptr;
    if (XGetWindowAttributes(dpy_, children[i], &attrs) && attrs.map_state == IsViewable &&
        XFetchName(dpy_, children[i], &name) && name != nullptr) {
      if (title == name) found.push_back(children[i]);
      XFree(name);
    }
  }
  if (children) XFree(children);
  return found;
}

std::optional<XWindow> XDisplay::WaitWindow(const std::string& title, int timeoutMs) {
  std::vector<XWindow> w;
  RunUntil([&] { return !(w = Windows(title)).empty(); }, timeoutMs);
  if (w.empty()) return std::nullopt;
  return w.front();
}

bool XDisplay::WaitGone(const std::string& title, int timeoutMs) {
  return RunUntil([&] { return Windows(title).empty(); }, timeoutMs);
}

void XDisplay::Type(XWindow w, const std::string& text) {
  XSetInputFocus(dpy_, w, RevertToPointerRoot, CurrentTime);
  XSync(dpy_, False);
  Settle();
  Key(XK_a, XK_Control_L);
  Key(XK_BackSpace);
  for (char c : text) Key(XStringToKeysym(std::string(1, c).c_str()));
}

void XDisplay::Close(XWindow w) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy_, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(dpy_, w, False, NoEventMask, &ev);
  XSync(dpy_, False);
}

int XDisplay::Width(XWindow w) {
  XWindowAttributes attrs{};
  return XGetWindowAttributes(dpy_, w, &attrs) ? attrs.width : 0;
}

void XDisplay::Key(unsigned long sym, unsigned long modifier) {
  const KeyCode mod = modifier != 0 ? XKeysymToKeycode(dpy_, modifier) : 0;
  const KeyCode code = XKeysymToKeycode(dpy_, sym);
  if (mod) XTestFakeKeyEvent(dpy_, mod, True, CurrentTime);
  XTestFakeKeyEvent(dpy_, code, True, CurrentTime);
  XTestFakeKeyEvent(dpy_, code, False, CurrentTime);
  if (mod) XTestFakeKeyEvent(dpy_, mod, False, CurrentTime);
  XSync(dpy_, False);
  Settle();
}

}  // namespace sablewick::testing
