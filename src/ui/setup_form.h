// TSetupForm: the settings dialog "Установки". One visible check box,
// "Минимизировать после запуска"; a second one, "Передавать кадры смены
// зон", exists but is never shown and drives nothing. "Установить" confirms,
// "Отмена" cancels.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QPushButton>
#include <functional>
#include <memory>
#include <string>

#include "app/settings.h"

namespace vexon {

class TSetupForm final : public QDialog {
  Q_OBJECT
 public:
  explicit TSetupForm(QWidget* parent = nullptr);
  QCheckBox* MinimizeBox;
  QCheckBox* ForwardBox;
  QPushButton* OkButton;
  QPushButton* CancelButton;
};

// How the dialog is made and run; the defaults build a TSetupForm and run it
// modally. Tests replace them to play the operator's part.
struct TSetupDialogHooks {
  std::function<std::unique_ptr<TSetupForm>()> Create = [] { return std::make_unique<TSetupForm>(); };
  std::function<int(TSetupForm&)> Run = [](TSetupForm& f) { return f.exec(); };
  std::function<void(const QString&)> Error;  // default: an error message box
};

// Shows the dialog for `settings`. When the dialog cannot be made, shows
// "Не могу показать диалог!" and changes nothing. When confirmed, takes
// MinimizeOnRun from the check box and saves both keys to `path`; when
// cancelled, writes nothing. Returns whether it was confirmed.
bool ShowSetupDialog(const std::string& path, TSettings& settings, const TSetupDialogHooks& hooks = {});

}  // namespace vexon
