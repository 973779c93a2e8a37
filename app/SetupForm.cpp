#include "app/SetupForm.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>

#include "core/Log.h"
#include "app/TrayIcon.h"
#include "script/Application.h"

namespace sablewick {
namespace {

constexpr const char* kUidRule = "8 hexadecimal digits (0-9, A-F), unique on the network";

// gdk-pixbuf wants RGBA bytes; the tray's pixmaps are ARGB.
GdkPixbuf* ToPixbuf(const TrayPixmap& p) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, p.width, p.height);
  if (pixbuf == nullptr) return nullptr;
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const uint8_t* in = &p.argb[(static_cast<size_t>(y) * p.width + x) * 4];
      guchar* out = pixels + y * stride + x * 4;
      out[0] = in[1];
      out[1] = in[2];
      out[2] = in[3];
      out[3] = in[0];
    }
  }
  return pixbuf;
}

}  // namespace

SetupForm::SetupForm(App& app, std::function<void()> onClosed, const TrayImage* windowIcon)
    : app_(app), onClosed_(std::move(onClosed)), windowIcon_(windowIcon) {}

SetupForm::~SetupForm() { Unload(); }

bool SetupForm::EnsureGtk() {
  if (gtkReady_) return true;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) return false;
  // GTK would otherwise switch the whole process to the user's locale, and with it the number
  // formats that the scripts and the xAP texts rely on.
  gtk_disable_setlocale();
  gtkReady_ = gtk_init_check(nullptr, nullptr);
  return gtkReady_;
}

void SetupForm::Show() {
  if (window_ == nullptr) {
    if (!EnsureGtk()) {
      LogToFile(app_, "Sablewick", "Setup: no display is available");
      return;
    }
    Load();
  }
  gtk_window_present(GTK_WINDOW(window_));
}

void SetupForm::Load() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), kCaption);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  gtk_container_set_border_width(GTK_CONTAINER(window_), 12);
  if (windowIcon_ != nullptr) {
    GList* icons = nullptr;
    for (const TrayPixmap& p : windowIcon_->pixmaps) {
      if (GdkPixbuf* pixbuf = ToPixbuf(p)) icons = g_list_append(icons, pixbuf);
    }
    gtk_window_set_icon_list(GTK_WINDOW(window_), icons);
    g_list_free_full(icons, g_object_unref);
  }

  GtkWidget* rows = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  GtkWidget* label1 = gtk_label_new("xAP UID");
  gtk_widget_set_name(label1, "Label1");
  aUID_ = gtk_entry_new();
  gtk_widget_set_name(aUID_, "aUID");
  gtk_entry_set_width_chars(GTK_ENTRY(aUID_), 12);
  gtk_entry_set_text(GTK_ENTRY(aUID_), app_.UID.c_str());
  gtk_box_pack_start(GTK_BOX(box), label1, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), aUID_, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(rows), box, FALSE, FALSE, 0);
  hint_ = gtk_label_new(kUidRule);
  gtk_widget_set_name(hint_, "Hint");
  gtk_label_set_xalign(GTK_LABEL(hint_), 0);
  gtk_box_pack_start(GTK_BOX(rows), hint_, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window_), rows);
  // The fields alone make a window narrower than its title bar needs: the caption in the
  // title font, plus room for the window icon and the buttons.
  PangoLayout* title = gtk_widget_create_pango_layout(window_, kCaption);
  int titleWidth = 0;
  pango_layout_get_pixel_size(title, &titleWidth, nullptr);
  g_object_unref(title);
  gtk_widget_set_size_request(window_, std::max(titleWidth * 3 / 2 + 160, 320), -1);
  // Enter in the UID field closes the window, and closing saves: a valid UID only; Escape
  // closes without saving.
  g_signal_connect_swapped(aUID_, "activate",
                           G_CALLBACK(+[](SetupForm* form) { form->TryClose(); }), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(&SetupForm::OnDeleteEvent), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(&SetupForm::OnKeyPress), this);

  // Every way the window goes (the close button, Unload, a window manager destroying it) ends
  // in "destroy", which runs before the children are taken down: the text is still there.
  g_signal_connect(window_, "destroy", G_CALLBACK(&SetupForm::OnDestroy), this);
  gtk_widget_show_all(window_);
}

bool SetupForm::ValidUid(const std::string& text) {
  return text.size() == 8 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool SetupForm::TryClose() {
  if (window_ == nullptr) return true;
  const std::string text = gtk_entry_get_text(GTK_ENTRY(aUID_));
  if (!ValidUid(text)) {
    // Said where the user looks, in words; the window stays until the text is right or the
    // user gives up with Escape.
    gchar* markup = g_markup_printf_escaped(
        "<span foreground=\"#c01c28\">\"%s\" is not 8 hexadecimal digits: not saved.\n"
        "Correct it, or press Escape to close without saving.</span>",
        text.c_str());
    gtk_label_set_markup(GTK_LABEL(hint_), markup);
    g_free(markup);
    gtk_widget_grab_focus(aUID_);
    return false;
  }
  gtk_widget_destroy(window_);
  return true;
}

int SetupForm::OnDeleteEvent(GtkWidget*, void*, void* self) {
  // TRUE keeps the window.
  return static_cast<SetupForm*>(self)->TryClose() ? FALSE : TRUE;
}

int SetupForm::OnKeyPress(GtkWidget*, void* event, void* self) {
  auto* form = static_cast<SetupForm*>(self);
  if (static_cast<GdkEventKey*>(event)->keyval != GDK_KEY_Escape) return FALSE;
  form->discard_ = true;
  gtk_widget_destroy(form->window_);
  return TRUE;
}

void SetupForm::Unload() {
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

void SetupForm::OnDestroy(GtkWidget*, void* self) {
  auto* form = static_cast<SetupForm*>(self);
  const std::string text = gtk_entry_get_text(GTK_ENTRY(form->aUID_));
  const bool discard = form->discard_;
  form->window_ = nullptr;
  form->aUID_ = nullptr;
  form->hint_ = nullptr;
  form->discard_ = false;
  if (discard) {
    if (form->onClosed_) form->onClosed_();
    return;
  }
  form->Form_Unload(text);
}

void SetupForm::Form_Unload(const std::string& text) {
  if (ValidUid(text)) {
    StepRunner step(app_, "Sablewick", "SetupForm", ReportVia::Event);
    step([&] {
      if (!app_.application) throw Failure(91, "Object variable not set");
      app_.application->SaveIniSetting("General", "UID", text, "Sablewick.ini");
    });
  }
  if (onClosed_) onClosed_();
}

}  // namespace sablewick

// The module's entry point, found by name when the dialog is first wanted.
extern "C" __attribute__((visibility("default"))) sablewick::SetupDialog* SablewickNewSetupDialog(
    sablewick::App& app, std::function<void()> onClosed, const sablewick::TrayImage* windowIcon) {
  return new sablewick::SetupForm(app, std::move(onClosed), windowIcon);
}
