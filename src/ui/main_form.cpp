#include "ui/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QResizeEvent>
#include <QShowEvent>
#include <QWindowStateChangeEvent>

#include "ui/artwork.h"

namespace vexon {

QFont FormFont() {
  // "MS Sans Serif" 8 pt is 11 pixels high at the usual 96 dpi. Sized in
  // pixels so the layout does not depend on the display's dpi; where the
  // family is missing the fallback sans serif is narrowed so the labels keep
  // clear of the fields beside them.
  QFont f("MS Sans Serif");
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(11);
  if (!QFontInfo(f).family().contains("MS Sans Serif")) f.setStretch(88);
  return f;
}

namespace {

QLabel* PlaceLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* l = new QLabel(text, parent);
  l->move(left, top);
  l->adjustSize();
  return l;
}

QToolButton* PictureButton(QWidget* parent, int picture, const QString& hint, int left) {
  auto* b = new QToolButton(parent);
  b->setGeometry(left, 144, 32, 25);
  b->setIcon(QIcon(ButtonPicture(picture)));
  b->setIconSize(QSize(20, 20));
  b->setToolTip(hint);
  return b;
}

}  // namespace

TComboEdit::TComboEdit(QWidget* parent) : QWidget(parent) {
  edit_ = new QLineEdit(this);
  edit_->setReadOnly(true);
  edit_->setFocusPolicy(Qt::NoFocus);
  button_ = new QToolButton(this);
  button_->setText("…");
  button_->setToolTip("Подробно");
  button_->setFocusPolicy(Qt::NoFocus);
}

void TComboEdit::resizeEvent(QResizeEvent*) { Arrange(); }

void TComboEdit::Arrange() {
  // The button sits inside the right end of the field, as high as the field.
  const int b = height() - 4;
  edit_->setGeometry(0, 0, width(), height());
  edit_->setTextMargins(0, 0, b, 0);
  button_->setGeometry(width() - b - 2, 2, b, b);
}

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  setWindowTitle("System-Vexon COM/DCOM сервер");
  // A fixed single border with a system menu and a minimise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFont(FormFont());

  auto* frame = new QFrame(this);
  frame->setGeometry(4, 8, 82, 162);
  frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* picture = new QLabel(this);
  picture->setObjectName("Picture");
  picture->setGeometry(4, 9, 80, 160);
  picture->setPixmap(MainPicture());

  PlaceLabel(this, "Последовательный порт:", 96, 24);
  SerialEdit = new QLineEdit("закрыт", this);
  SerialEdit->setObjectName("SerialEdit");
  SerialEdit->setGeometry(232, 16, 57, 21);
  SerialEdit->setReadOnly(true);
  SerialEdit->setFocusPolicy(Qt::NoFocus);  // not in the tab order

  PlaceLabel(this, "Статус:", 96, 48);
  StatusComboEdit = new TComboEdit(this);
  StatusComboEdit->setObjectName("StatusComboEdit");
  StatusComboEdit->setGeometry(144, 40, 145, 21);
  StatusComboEdit->Arrange();

  PlaceLabel(this, "Данные:", 96, 72);
  DataComboEdit = new TComboEdit(this);
  DataComboEdit->setObjectName("DataComboEdit");
  DataComboEdit->setGeometry(144, 64, 145, 21);
  DataComboEdit->Arrange();

  // The request-queue indicator exists but is hidden from start-up on and
  // nothing fills it.
  QueryLabel = PlaceLabel(this, "Очередь запросов:", 96, 96);
  QueryEdit = new QLineEdit(this);
  QueryEdit->setObjectName("QueryEdit");
  QueryEdit->setGeometry(232, 88, 57, 21);
  QueryEdit->setReadOnly(true);
  QueryLabel->hide();
  QueryEdit->hide();

  // Right-aligned with its right edge at 289; it spans the free width left
  // of that edge so a long text grows leftwards.
  lCommand = new QLabel(this);
  lCommand->setObjectName("lCommand");
  lCommand->setAlignment(Qt::AlignRight | Qt::AlignTop);
  lCommand->setGeometry(96, 117, 289 - 96, 13);

  auto* line = new QFrame(this);
  line->setObjectName("Separator");
  line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  line->setGeometry(96, 128, 193, 2);

  SetupButton = PictureButton(this, 0, "Установки", 176);
  HelpButton = PictureButton(this, 1, "Помощь", 216);
  ExitButton = PictureButton(this, 2, "Выход", 256);

  HideBufferBox = new QCheckBox("Убрать буфер команд", this);
  HideBufferBox->move(28, 189);
  HideBufferBox->adjustSize();
  HideBufferBox->setChecked(true);

  ClearButton = new QToolButton(this);
  ClearButton->setGeometry(237, 189, 23, 16);
  ClearButton->setToolTip("Очистить список команд");
  ClearButton->setText("×");

  CommandList = new QListWidget(this);
  CommandList->setGeometry(9, 206, 277, 144);

  StatusComboEdit->setText("");
  DataComboEdit->setText("");

  Inform = [this](const QString& text) { QMessageBox::information(this, kApplicationTitle, text); };
  connect(StatusComboEdit->Button(), &QToolButton::clicked, this, [this] { Inform(StatusDetail()); });
  connect(DataComboEdit->Button(), &QToolButton::clicked, this, [this] { Inform(DataDetail()); });
  connect(SetupButton, &QToolButton::clicked, this, [this] { if (OpenSettings) OpenSettings(); });
  connect(HelpButton, &QToolButton::clicked, this, [this] { if (OpenHelp) OpenHelp(); });
  connect(ExitButton, &QToolButton::clicked, this, &TMainForm::Exit);
  connect(ClearButton, &QToolButton::clicked, CommandList, &QListWidget::clear);
  connect(HideBufferBox, &QCheckBox::toggled, this, &TMainForm::OnBufferToggled);

  // Keyboard preview: key presses reach the window before its controls.
  qApp->installEventFilter(this);
  SetWindowHeight(CollapsedHeight);
}

TMainForm::~TMainForm() { qApp->removeEventFilter(this); }

// Each display operation posts a functor to this object's thread. Queued
// calls to one receiver are delivered in the order posted, so the window
// applies the values in the order the callers made them. QPointer guards
// against a post that lands after the window is gone.
void TMainForm::ShowPort(int32_t portNumber) {
  QPointer<TMainForm> self(this);
  QMetaObject::invokeMethod(
      this,
      [self, portNumber] {
        if (self) self->SerialEdit->setText(portNumber ? QString("COM%1").arg(portNumber) : QString("закрыт"));
      },
      Qt::QueuedConnection);
}

void TMainForm::ShowStatus(bool configured) {
  QPointer<TMainForm> self(this);
  QMetaObject::invokeMethod(
      this,
      [self, configured] {
        if (!self) return;
        self->StatusComboEdit->setText(QString::fromUtf8(StatusText(configured)));
        self->StatusComboEdit->repaint();
      },
      Qt::QueuedConnection);
}

void TMainForm::ShowDataState(bool configured, bool cardsPresent) {
  QPointer<TMainForm> self(this);
  QMetaObject::invokeMethod(
      this,
      [self, configured, cardsPresent] {
        if (!self) return;
        self->DataComboEdit->setText(QString::fromUtf8(DataStateText(configured, cardsPresent)));
        self->DataComboEdit->repaint();
      },
      Qt::QueuedConnection);
}

void TMainForm::ShowCommand(const std::string& text) {
  QPointer<TMainForm> self(this);
  QString t = QString::fromStdString(text);
  QMetaObject::invokeMethod(
      this, [self, t] { if (self) self->lCommand->setText(t); }, Qt::QueuedConnection);
}

QString TMainForm::StatusDetail() const {
  if (StatusComboEdit->text() == "работа") return "Система полностью функциональна.";
  return QString("Система не сконфигурирована.") + QChar(13) + "Необходимо выполнить автоконфигурацию системы.";
}

QString TMainForm::DataDetail() const {
  const QString t = DataComboEdit->text();
  if (t == "Ok") return "Необходимые данные для работы системы загружены.";
  if (t == "конфигурация") return "Нет данных о конфигурации системы.";
  return "Не установлен список пропусков системы.";
}

void TMainForm::ShowNormal() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TMainForm::Exit() {
  exiting_ = true;
  emit ExitRequested();
}

void TMainForm::closeEvent(QCloseEvent* e) {
  if (exiting_) {
    e->accept();
    return;
  }
  // The close button, Alt+F4 and the system menu only hide the window: the
  // server keeps serving its clients.
  e->ignore();
  hide();
}

void TMainForm::changeEvent(QEvent* e) {
  if (e->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
    // Minimising hides the window instead; posted so the window manager has
    // finished its own state change first.
    QMetaObject::invokeMethod(
        this,
        [this] {
          setWindowState(windowState() & ~Qt::WindowMinimized);
          hide();
        },
        Qt::QueuedConnection);
  }
  QWidget::changeEvent(e);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() != QEvent::KeyPress) return false;
  auto* w = qobject_cast<QWidget*>(watched);
  if (!w || (w != this && !isAncestorOf(w))) return false;
  auto* k = static_cast<QKeyEvent*>(e);
  const auto mods = k->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
  if (k->key() == Qt::Key_D && mods == (Qt::ControlModifier | Qt::AltModifier)) {
    SetWindowHeight(ExpandedHeight);
    HideBufferBox->setChecked(true);
    return true;
  }
  // F1 anywhere in the window: the help, as the "Помощь" button gives it.
  if (k->key() == Qt::Key_F1 && mods == Qt::NoModifier) {
    if (OpenHelp) OpenHelp();
    return true;
  }
  return false;
}

void TMainForm::showEvent(QShowEvent* e) {
  wasShown_ = true;
  QWidget::showEvent(e);
}

void TMainForm::OnBufferToggled(bool checked) {
  if (!checked) SetWindowHeight(CollapsedHeight);
}

void TMainForm::SetWindowHeight(int h) { setFixedSize(ClientWidth, ClientHeight(h)); }

}  // namespace vexon
