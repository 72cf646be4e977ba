#include "ui/help.h"

#include <pthread.h>
#include <signal.h>

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QUrl>
#include <QVBoxLayout>
#include <memory>

#include "util/log.h"

namespace vexon {

namespace {

// A help file larger than this is no text meant for reading in a window.
constexpr qint64 kMaxHelpTextBytes = 1 << 20;

const char* const kBuiltInHelp =
    "System-Vexon COM/DCOM сервер\n"
    "\n"
    "Сервер работает с сетью контроллеров доступа через последовательный порт "
    "главного контроллера и выполняет запросы клиентских программ. Окно только "
    "показывает состояние сервера; сервер работает и тогда, когда окно скрыто.\n"
    "\n"
    "Поля окна\n"
    "Последовательный порт: «закрыт» или открытый порт (COM1, COM2, ...). Порт "
    "открывает клиентская программа.\n"
    "Статус: «работа», когда система сконфигурирована, иначе «конфигурация» "
    "(нужна автоконфигурация системы).\n"
    "Данные: «Ok», когда загружены конфигурация и список пропусков; «пропуска», "
    "когда не установлен список пропусков; «конфигурация», когда нет данных о "
    "конфигурации.\n"
    "Кнопка в правом конце поля статуса и поля данных объясняет их значение.\n"
    "Под полями показан запрос, который сервер последним взял в работу.\n"
    "\n"
    "Кнопки\n"
    "Установки: диалог установок («Минимизировать после запуска»).\n"
    "Помощь (F1): эта справка.\n"
    "Выход: завершает работу сервера; перед выходом сохраняются конфигурация "
    "и журнал регистрации.\n"
    "\n"
    "Закрытие или сворачивание окна только скрывает его. Окно открывается снова "
    "двойным щелчком по значку сервера в области уведомлений или пунктом "
    "«COM/DCOM Сервер» его меню; в этом меню есть и «Установки», «Помощь», "
    "«Выход». Если на рабочем столе нет области уведомлений, окно показано "
    "сразу после запуска.\n"
    "\n"
    "Ctrl+Alt+D показывает список команд; снятие флажка «Убрать буфер команд» "
    "снова скрывает его.\n"
    "\n"
    "Положение окна хранится в разделе «Main Form» файла настроек, установки "
    "окна в разделе «SETTINS».\n";

}  // namespace

THelpWindow::THelpWindow(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Помощь");
  auto* layout = new QVBoxLayout(this);
  text_ = new QPlainTextEdit(this);
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  layout->addWidget(text_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setText("Закрыть");
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(480, 420);
}

void THelpWindow::SetText(const QString& text) { text_->setPlainText(text); }

QString HelpFilePath(const QString& programDir) {
  const QFileInfo hlp(programDir + "/srvvexon.hlp");
  return hlp.isFile() ? hlp.absoluteFilePath() : QString();
}

QString BuiltInHelpText() { return QString::fromUtf8(kBuiltInHelp); }

QString HelpText(const QString& helpFile) {
  if (helpFile.isEmpty()) return BuiltInHelpText();
  QFile f(helpFile);
  if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxHelpTextBytes) return BuiltInHelpText();
  const QByteArray bytes = f.readAll();
  // A help file in a format of its own (binary) is no text to show.
  if (bytes.isEmpty() || bytes.contains('\0')) return BuiltInHelpText();
  QStringDecoder utf8(QStringDecoder::Utf8);
  const QString text = utf8(bytes);
  if (utf8.hasError()) return BuiltInHelpText();
  return text;
}

THelp::THelp(QString programDir, QWidget* owner, THelpViewer viewer)
    : QObject(owner), programDir_(std::move(programDir)), owner_(owner), viewer_(std::move(viewer)) {
  if (!viewer_) viewer_ = [this](const QString& file, std::function<void(bool)> done) {
    OpenWithDesktopViewer(file, std::move(done));
  };
}

void THelp::Show() {
  const QString file = HelpFilePath(programDir_);
  if (file.isEmpty()) {
    ShowOwn(file);
    return;
  }
  QPointer<THelp> self(this);
  viewer_(file, [self, file](bool opened) {
    if (!self || opened) return;
    log::info("help: no viewer opened {}, showing it in the program's own window", file.toStdString());
    self->ShowOwn(file);
  });
}

void THelp::ShowOwn(const QString& file) {
  if (!window_) window_ = new THelpWindow(owner_);
  window_->SetText(HelpText(file));
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void THelp::OpenWithDesktopViewer(const QString& file, std::function<void(bool)> done) {
  const QString xdgOpen = QStandardPaths::findExecutable("xdg-open");
  if (xdgOpen.isEmpty()) {
    // Qt's launcher says only whether it could start something.
    done(QDesktopServices::openUrl(QUrl::fromLocalFile(file)));
    return;
  }
  // xdg-open ends with status 0 once a viewer took the file, and with
  // another status when none could (no viewer for its type, no desktop).
  auto* p = new QProcess(this);
  p->setProgram(xdgOpen);
  p->setArguments({file});
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QProcess::nullDevice());
  // The window thread blocks the stop signals (one thread takes them with
  // sigwait); the viewer must not inherit that.
  p->setChildProcessModifier([] {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
  });
  auto answered = std::make_shared<bool>(false);
  auto answer = [p, done = std::move(done), answered](bool opened) {
    if (*answered) return;
    *answered = true;
    done(opened);
    p->deleteLater();
  };
  connect(p, &QProcess::finished, p, [answer](int code, QProcess::ExitStatus status) {
    answer(status == QProcess::NormalExit && code == 0);
  });
  connect(p, &QProcess::errorOccurred, p, [answer](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) answer(false);
  });
  p->start();
}

}  // namespace vexon
