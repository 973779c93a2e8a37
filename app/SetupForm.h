// The setup dialog: shows this node's xAP UID and lets the user change it. A small GTK 3
// window in the program's own main loop; GTK is brought up only when the dialog is first
// wanted, and only when there is a display to show it on.
#pragma once

#include <functional>
#include <string>

#include "core/App.h"
#include "app/SetupDialog.h"

typedef struct _GtkWidget GtkWidget;

namespace sablewick {

struct TrayImage;

class SetupForm : public SetupDialog {
 public:
  // onClosed runs after every close step, saved or not (the owner re-reads the UID there).
  SetupForm(App& app, std::function<void()> onClosed, const TrayImage* windowIcon = nullptr);
  // Unloads the dialog (with its close step) if it is open.
  ~SetupForm() override;
  SetupForm(const SetupForm&) = delete;
  SetupForm& operator=(const SetupForm&) = delete;

  // Loads the dialog if needed and shows it without waiting for it; a dialog already open is
  // brought to the front. Without a display, logs that none is available.
  void Show() override;
  // Closes the dialog if it is open, running its close step.
  void Unload() override;
  bool Loaded() const override { return window_ != nullptr; }

  // The close step on the text of aUID: 8 hexadecimal digits are saved as the UID.
  void Form_Unload(const std::string& text) override;
  // A UID the node can announce: 8 hexadecimal digits.
  static bool ValidUid(const std::string& text);

  static constexpr const char* kCaption = "Sablewick Setup";

 private:
  bool EnsureGtk();
  void Load();
  static void OnDestroy(GtkWidget* widget, void* self);
  // Enter and the close button: closes (and saves) a valid UID; otherwise stays open and says
  // why under the field. True when it closed.
  bool TryClose();
  static int OnDeleteEvent(GtkWidget* widget, void* event, void* self);
  static int OnKeyPress(GtkWidget* widget, void* event, void* self);

  App& app_;
  std::function<void()> onClosed_;
  const TrayImage* windowIcon_;
  GtkWidget* window_ = nullptr;
  GtkWidget* aUID_ = nullptr;
  GtkWidget* hint_ = nullptr;  // under the field: the rule, or why the text was refused
  bool discard_ = false;       // Escape: close without saving
  bool gtkReady_ = false;
};

}  // namespace sablewick
