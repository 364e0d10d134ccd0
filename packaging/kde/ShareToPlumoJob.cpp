#include "ShareToPlumoJob.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <optional>

#include "ExitStatus.h"
#include "Localization.h"
#include "ModuleLocation.h"

namespace plumo {

namespace {

// A path of the prefix this plugin is installed under (the build tree mirrors that layout).
QString besidePlugin(const char* relativePath) {
  static const char insideThisPlugin = 0;
  return QFile::decodeName(ModuleLocation::beside(&insideThisPlugin, relativePath).c_str());
}

QString program() { return besidePlugin(PLUMO_SHARE_PROGRAM_FROM_PLUGIN); }

// A text of plumo-share's catalogs, in the language the user has now.
QString text(const char* key) {
  Localization::setUp(besidePlugin(PLUMO_BUNDLE_FROM_PLUGIN).toStdString());
  return QString::fromStdString(Localization::text(key));
}

// A local file goes by its (absolute) path, anything else by its full text: plumo-share
// judges the scheme. Nothing without a scheme is a URL: it must not reach plumo-share as
// a relative path, an option or "-".
std::optional<QString> item(const QUrl& url) {
  if (url.isLocalFile()) return url.toLocalFile();
  if (url.isRelative()) return std::nullopt;
  return url.toString(QUrl::FullyEncoded);
}

// The last status line plumo-share wrote: the one the card would show, in the user's language,
// or why an item cannot be shared, without the pointer to --help, which no window user can follow.
QString statusText(const QByteArray& standardError) {
  static const QString prefix = QStringLiteral("plumo-share: ");
  static const QString helpPointer = QStringLiteral(" (see plumo-share --help)");
  const QStringList lines = QString::fromUtf8(standardError).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
    if (!line->startsWith(prefix)) continue;
    const QString text = line->mid(prefix.size());
    return text.endsWith(helpPointer) ? text.chopped(helpPointer.size()) : text;
  }
  return {};
}

// The text of a failure where the application shows it (Dolphin's message bar, Okular's
// dialog), among those of other plugins: named after Plumo, and with the limits where
// the share went beyond them.
QString failureText(const QString& statusText) {
  const QString failure = QStringLiteral("Plumo: ") + statusText;
  return statusText == text("error.tooLarge") ? failure + QLatin1Char(' ') + text("plugin.limits") : failure;
}

// A share that waits for Plumo to be opened ends without a window of its own to say so: the
// desktop's notification does. Without a notification service the share waits all the same.
void notify(const QString& statusText) {
  QDBusMessage notification = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  notification << QStringLiteral("Plumo Share") << 0u << QStringLiteral("document-send") << statusText << QString()
               << QStringList() << QVariantMap() << -1;
  QDBusConnection::sessionBus().call(notification, QDBus::NoBlock);
}

}  // namespace

ShareToPlumoJob::ShareToPlumoJob(QObject* parent) : Purpose::Job(parent) {
  setCapabilities(Killable);  // Purpose's dialog offers Cancel
  process_.setStandardInputFile(QProcess::nullDevice());
  process_.setStandardOutputFile(QProcess::nullDevice());
  connect(&process_, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &ShareToPlumoJob::finish);
  connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) {
      fail(UserDefinedError, text("plugin.notStarted").arg(process_.program(), process_.errorString()));
    }
  });
}

ShareToPlumoJob::~ShareToPlumoJob() { dismissShare(); }

void ShareToPlumoJob::start() { QTimer::singleShot(0, this, &ShareToPlumoJob::share); }

bool ShareToPlumoJob::doKill() {
  disconnect(&process_, nullptr, this, nullptr);  // the kill reports the job's end itself
  dismissShare();
  return true;
}

// SIGTERM, plumo-share's dismiss, which removes what it staged: never SIGKILL, which
// would leave the staging folder for a later share to sweep.
void ShareToPlumoJob::dismissShare() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.terminate();
  process_.waitForFinished();
}

// Runs plumo-share with the shared items, never through a shell, and without its card:
// the application's own job window is the share's one window, and its Cancel the dismiss.
void ShareToPlumoJob::share() {
  QStringList arguments{QStringLiteral("--no-ui")};
  for (const auto& value : data().value(QStringLiteral("urls")).toArray()) {
    const auto given = item(QUrl(value.toString()));
    if (!given) return fail(UserDefinedError, text("plugin.notAUrl").arg(value.toString()));
    arguments << *given;
  }
  process_.start(program(), arguments);
}

// Published is success, whether or not the host was woken. The job gives no `url`:
// plumo-share has woken the host already, and Dolphin would open that URL again.
void ShareToPlumoJob::finish(int exitCode, QProcess::ExitStatus exitStatus) {
  const QString status = statusText(process_.readAllStandardError());
  if (exitStatus != QProcess::NormalExit) return fail(UserDefinedError, text("plugin.stopped"));
  switch (exitCode) {
    case plumo::ExitStatus::savedNotOpened:
      notify(status);
      [[fallthrough]];
    case plumo::ExitStatus::success:
      setOutput({});
      return emitResult();
    case plumo::ExitStatus::interrupted:  // a dismissal is the user's own cancellation: KDE applications show no error for it
      return fail(KilledJobError, status);
    default:
      return fail(UserDefinedError, failureText(status));
  }
}

void ShareToPlumoJob::fail(int code, const QString& text) {
  setError(code);
  setErrorText(text);
  emitResult();
}

}  // namespace plumo
