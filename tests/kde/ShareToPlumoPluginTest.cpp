// The KDE Share menu plugin through Purpose's own client API, as Dolphin and Okular
// use it: listed, configured, run in this process and in Purpose's runner. The
// plugin runs the build's plumo-share, which the build tree holds where an install
// would (bin/ beside lib/<multiarch>/qt5/plugins/).
#include <gtest/gtest.h>
#include <purpose/alternativesmodel.h>
#include <purpose/configuration.h>
#include <purpose/job.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "Eventually.h"
#include "Files.h"
#include "LockHolder.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace plumo {
namespace {

using testing::eventually;
using testing::readFile;
using testing::writeFile;

constexpr const char* pluginId = "plumo-share";

// How a job ended, as its caller sees it.
struct Ending {
  int error = -1;
  QString errorText;
  QJsonObject output;
};

QJsonObject input(const QString& mimeType, const QStringList& urls) {
  return {{QStringLiteral("mimeType"), mimeType}, {QStringLiteral("urls"), QJsonArray::fromStringList(urls)}};
}

QString fileUrl(const fs::path& path) { return QUrl::fromLocalFile(QString::fromStdString(path)).toString(); }

// The desktop's notification service, on a session bus of the test's own: it keeps the
// summary of every notification it is sent.
class NotificationService : public QDBusVirtualObject {
 public:
  NotificationService() {
    bus_ = std::make_unique<testing::RunningProgram>(
        std::vector<std::string>{DBUS_DAEMON, "--session", "--nofork", "--print-address=1"});
    std::string address;
    EXPECT_TRUE(eventually([&] {
      address = bus_->standardOutputSoFar();
      return address.find('\n') != std::string::npos;
    })) << "no session bus";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.substr(0, address.find('\n')).c_str(), 1);
    QDBusConnection bus = QDBusConnection::sessionBus();
    EXPECT_TRUE(bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this));
    EXPECT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
  }

  QStringList summaries;

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Notify") || message.arguments().size() != 8) return false;
    summaries << message.arguments()[3].toString();
    connection.send(message.createReply(QVariantList{1u}));
    return true;
  }

 private:
  std::unique_ptr<testing::RunningProgram> bus_;
};

class ShareToPlumoPluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("QT_PLUGIN_PATH", PLUMO_QT_PLUGIN_DIR, 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // for Purpose's runner
    // plumo-share runs headless, whatever session the tests were started from.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("LANGUAGE", "de", 1);  // the language Qt reads once, for the plugin's name
    static int argc = 1;
    static char name[] = "share_to_plumo_plugin_tests";
    static char* argv[] = {name, nullptr};
    application = std::make_unique<QCoreApplication>(argc, argv);
    notifications = std::make_unique<NotificationService>();
  }
  static void TearDownTestSuite() {
    notifications.reset();
    application.reset();
  }

  static inline std::unique_ptr<QCoreApplication> application;
  static inline std::unique_ptr<NotificationService> notifications;

  testing::TemporaryDirectory home;
  fs::path dataHome = home / "data";
  fs::path root = dataHome / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";
  fs::path hostLog = home / "state" / "plumo-inbox-stand-in-host.log";

  // A home of its own, whose only handler of the hand-off URLs is the stand-in host.
  void SetUp() override {
    fs::create_directories(dataHome / "applications");
    fs::copy_file(PLUMO_STAND_IN_HOST_ENTRY, dataHome / "applications" / "plumo-inbox-stand-in-host.desktop");
    fs::create_directories(home / "config");
    writeFile(home / "config" / "mimeapps.list",
              "[Default Applications]\nx-scheme-handler/" PLUMO_SCHEME "=plumo-inbox-stand-in-host.desktop\n");
    for (const auto& [name, value] : {std::pair{"XDG_DATA_HOME", dataHome}, std::pair{"XDG_CONFIG_HOME", home / "config"},
                                      std::pair{"XDG_STATE_HOME", home / "state"}}) {
      ::setenv(name, value.c_str(), 1);
    }
    fs::create_directories(home / "runtime");
    fs::permissions(home / "runtime", fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", "/usr/share", 1);
    ::setenv("LANGUAGE", "en", 1);
  }

  // The row of our plugin among the Export plugins Purpose offers for `data`, or -1.
  static int rowOfPlugin(Purpose::AlternativesModel& model, const QJsonObject& data) {
    model.setInputData(data);
    model.setPluginType(QStringLiteral("Export"));
    for (int row = 0; row < model.rowCount(); ++row) {
      if (model.index(row).data(Purpose::AlternativesModel::PluginIdRole).toString() == QLatin1String(pluginId)) {
        return row;
      }
    }
    return -1;
  }

  // Runs our plugin's job for `data`, in this process or in Purpose's runner, to its end;
  // cancelled with KJob::kill(), as Purpose's dialog cancels it, once `cancelWhen` holds.
  Ending share(const QJsonObject& data, bool separateProcess, const std::function<bool()>& cancelWhen = {}) {
    Purpose::AlternativesModel model;
    const int row = rowOfPlugin(model, data);
    EXPECT_GE(row, 0) << "the plugin is not offered";
    if (row < 0) return {};
    std::unique_ptr<Purpose::Configuration> configuration(model.configureJob(row));
    configuration->setUseSeparateProcess(separateProcess);
    Purpose::Job* job = configuration->createJob();
    Ending ending;
    QEventLoop loop;
    QObject::connect(job, &KJob::result, &loop, [&](KJob*) {
      ending = {job->error(), job->errorText(), job->output()};
      loop.quit();
    });
    QTimer::singleShot(std::chrono::seconds(100), &loop, &QEventLoop::quit);  // longer than any wait of a test
    QTimer cancel;
    if (cancelWhen) {
      QObject::connect(&cancel, &QTimer::timeout, &loop, [&] {
        if (!cancelWhen()) return;
        cancel.stop();
        EXPECT_TRUE(job->kill(KJob::EmitResult));
      });
      cancel.start(std::chrono::milliseconds(10));
    }
    job->start();
    loop.exec();
    return ending;
  }

  std::vector<fs::path> entries(const std::string& folder) const {
    std::vector<fs::path> found;
    if (fs::exists(root / folder)) {
      for (const auto& entry : fs::directory_iterator(root / folder)) {
        if (entry.path().filename().string()[0] != '.') found.push_back(entry.path());
      }
    }
    return found;
  }
};

// The job runs in this process or, as Dolphin runs it, in Purpose's runner.
class SharingThroughThePlugin : public ShareToPlumoPluginTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
#ifdef PLUMO_SANITIZED_BUILD
    if (GetParam()) GTEST_SKIP() << "Purpose's runner cannot load a plugin built with the sanitizers";
#endif
    ShareToPlumoPluginTest::SetUp();
  }
};

TEST_F(ShareToPlumoPluginTest, OfferedForEveryKindOfShareAndReadyWithoutConfiguration) {
  fs::create_directories(home / "Photos");
  const std::vector<std::pair<QString, QString>> kinds{
      {QStringLiteral("text/plain"), fileUrl(home / "notes.txt")},
      {QStringLiteral("image/png"), fileUrl(home / "shot.png")},
      {QStringLiteral("application/pdf"), fileUrl(home / "report.pdf")},
      {QStringLiteral("inode/directory"), fileUrl(home / "Photos")},
      {QStringLiteral("text/x-uri"), QStringLiteral("https://example.com/article")},
      {QString(), fileUrl(home / "notes.txt")},  // what Dolphin sends for a mixed selection
  };
  for (const auto& [mimeType, url] : kinds) {
    Purpose::AlternativesModel model;
    const int row = rowOfPlugin(model, input(mimeType, {url}));
    ASSERT_GE(row, 0) << mimeType.toStdString();
    EXPECT_EQ(model.index(row).data(Qt::DisplayRole).toString(), QStringLiteral("Mit Plumo teilen"));
    EXPECT_EQ(model.index(row).data(Purpose::AlternativesModel::IconNameRole).toString(), QStringLiteral("document-send"));
    std::unique_ptr<Purpose::Configuration> configuration(model.configureJob(row));
    EXPECT_TRUE(configuration->isReady()) << mimeType.toStdString();
  }
}

// Files, a folder and a link: one entry in the inbox, the host woken once, and no
// `url` for the application to open a second time.
TEST_P(SharingThroughThePlugin, PublishesTheShareAndWakesTheHostOnce) {
  writeFile(home / "notes 1.txt", "the notes");
  fs::create_directories(home / "Photos");
  const Ending ending = share(input(QStringLiteral("text/plain"), {fileUrl(home / "notes 1.txt"), fileUrl(home / "Photos"),
                                                                   QStringLiteral("https://example.com/a?b=c")}),
                              GetParam());

  EXPECT_EQ(ending.error, 0) << ending.errorText.toStdString();
  EXPECT_TRUE(ending.output.isEmpty()) << QJsonDocument(ending.output).toJson().toStdString();
  const auto inbox = entries("inbox");
  ASSERT_EQ(inbox.size(), 1u);
  const Json manifest = Json::parse(readFile(inbox[0] / "payload.json"));
  EXPECT_EQ(manifest["files"], Json::array({"1-notes 1.txt"}));
  EXPECT_EQ(readFile(inbox[0] / "1-notes 1.txt"), "the notes");
  EXPECT_EQ(manifest["directories"], Json::array({(home / "Photos").string()}));
  EXPECT_EQ(manifest["message"], "https://example.com/a?b=c");
  ASSERT_TRUE(eventually([&] { return readFile(hostLog).find('\n') != std::string::npos; }));
  EXPECT_EQ(readFile(hostLog), inbox[0].string() + "\n");
  EXPECT_TRUE(entries("staging").empty());
}

// Published while Plumo is not installed (plumo-share's status 3): the share waits in the
// inbox, the job succeeds, as the share did, and a notification says what the card would.
// A share that woke the host needs none: the host is on the screen.
TEST_P(SharingThroughThePlugin, APublishNoApplicationOpenedIsASuccessTheDesktopNotifies) {
  writeFile(home / "notes.txt", "the notes");
  EXPECT_EQ(share(input(QStringLiteral("text/plain"), {fileUrl(home / "notes.txt")}), GetParam()).error, 0);
  fs::remove(dataHome / "applications" / "plumo-inbox-stand-in-host.desktop");
  const Ending ending = share(input(QStringLiteral("text/plain"), {fileUrl(home / "notes.txt")}), GetParam());

  EXPECT_EQ(ending.error, 0) << ending.errorText.toStdString();
  EXPECT_EQ(entries("inbox").size(), 2u);
  ASSERT_TRUE(eventually([] {
    QCoreApplication::processEvents();
    return !notifications->summaries.isEmpty();
  }));
  EXPECT_EQ(notifications->summaries, QStringList{QStringLiteral("Saved. Open Plumo to finish.")});
}

// Too many files, a file too large: the job's error is the card's status line, in
// the user's language, named after Plumo and with the limits, and nothing is left behind.
TEST_P(SharingThroughThePlugin, AFailedShareEndsWithItsStatusText) {
  QStringList eleven;
  for (int index = 1; index <= 11; ++index) {
    const fs::path file = home / ("file " + std::to_string(index) + ".txt");
    writeFile(file, "a file");
    eleven << fileUrl(file);
  }
  writeFile(home / "large.bin", "");
  fs::resize_file(home / "large.bin", 12 * 1024 * 1024 + 1);

  const Ending tooMany = share(input(QStringLiteral("text/plain"), eleven), GetParam());
  ::setenv("LANGUAGE", "de", 1);
  const Ending tooLarge = share(input(QStringLiteral("application/octet-stream"), {fileUrl(home / "large.bin")}), GetParam());

  EXPECT_EQ(tooMany.error, KJob::UserDefinedError);
  EXPECT_EQ(tooMany.errorText,
            QStringLiteral("Plumo: Share fewer or smaller items. At most 10 files, each up to 12 MiB, 50 MiB in all."));
  EXPECT_EQ(tooLarge.error, KJob::UserDefinedError);
  EXPECT_EQ(tooLarge.errorText,
            QStringLiteral("Plumo: Teile weniger/kleinere Daten. Höchstens 10 Dateien, jede bis 12 MiB, zusammen 50 MiB."));
  EXPECT_TRUE(entries("staging").empty());
  EXPECT_TRUE(entries("inbox").empty());
}

// This test's plumo-share, once it runs (in this process's child, or under Purpose's
// runner), told from those of other tests running beside it by the data home it was given.
pid_t runningShare(const fs::path& dataHome) {
  const std::string ours = "XDG_DATA_HOME=" + dataHome.string() + std::string(1, '\0');
  for (const auto& process : fs::directory_iterator("/proc")) {
    std::error_code gone;
    if (fs::read_symlink(process.path() / "exe", gone) != PLUMO_SHARE_PROGRAM) continue;
    std::ifstream environment(process.path() / "environ", std::ios::binary);
    const std::string variables((std::istreambuf_iterator<char>(environment)), std::istreambuf_iterator<char>());
    if (variables.find(ours) != std::string::npos) return static_cast<pid_t>(std::stoi(process.path().filename()));
  }
  return 0;
}

// Dismissed while it waits for the inbox: the user's own cancellation, which KDE
// applications do not report as an error; nothing is left behind.
TEST_P(SharingThroughThePlugin, ADismissedShareEndsAsACancellation) {
  for (const auto& folder : {root, root / "staging", root / "inbox"}) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
  }
  writeFile(home / "notes.txt", "the notes");
  testing::LockHolder publishing(root / "inbox" / ".publish-lock");
  std::thread dismiss([this] {  // once the share has staged, so that plumo-share's own handling of signals is on
    pid_t share = 0;
    const auto staged = [&] { return !entries("staging").empty() && (share = runningShare(dataHome)) != 0; };
    if (eventually(staged, std::chrono::seconds(90))) ::kill(share, SIGTERM);  // a busy machine starts the runner late
  });

  const Ending ending = share(input(QStringLiteral("text/plain"), {fileUrl(home / "notes.txt")}), GetParam());
  dismiss.join();

  EXPECT_EQ(ending.error, KJob::KilledJobError) << ending.errorText.toStdString();
  EXPECT_TRUE(entries("staging").empty());
  EXPECT_TRUE(entries("inbox").empty());
}

// plumo-share killed mid-share (a crash, the OOM killer): a failure in the user's language,
// never a success or a cancellation.
TEST_P(SharingThroughThePlugin, AShareThatDiesFailsAsStopped) {
  fs::create_directories(root / "inbox");
  writeFile(home / "notes.txt", "the notes");
  testing::LockHolder publishing(root / "inbox" / ".publish-lock");
  ::setenv("LANGUAGE", "de", 1);
  std::thread crash([this] {
    pid_t share = 0;
    const auto staged = [&] { return !entries("staging").empty() && (share = runningShare(dataHome)) != 0; };
    if (eventually(staged, std::chrono::seconds(90))) ::kill(share, SIGKILL);
  });

  const Ending ending = share(input(QStringLiteral("text/plain"), {fileUrl(home / "notes.txt")}), GetParam());
  crash.join();

  EXPECT_EQ(ending.error, KJob::UserDefinedError);
  EXPECT_EQ(ending.errorText, QStringLiteral("Plumo wurde unerwartet beendet."));
  EXPECT_TRUE(entries("inbox").empty());
}

// Purpose's job window is the share's one window: plumo-share runs without its card. Its
// Cancel kills the job: plumo-share is dismissed (SIGTERM), never killed, so that it removes
// what it staged, and the job ends only once it has.
TEST_F(ShareToPlumoPluginTest, CancellingTheJobDismissesTheShareThatShowsNoCard) {
  fs::create_directories(root / "inbox");
  writeFile(home / "notes.txt", "the notes");
  testing::LockHolder publishing(root / "inbox" / ".publish-lock");
  std::string arguments;
  const Ending ending = share(input(QStringLiteral("text/plain"), {fileUrl(home / "notes.txt")}), false, [&] {
    const pid_t running = runningShare(dataHome);
    if (entries("staging").empty() || running == 0) return false;
    arguments = readFile(fs::path("/proc") / std::to_string(running) / "cmdline");
    return true;
  });

  EXPECT_NE(arguments.find(std::string("\0--no-ui\0", 9)), std::string::npos) << "the share shows its card";
  EXPECT_EQ(ending.error, KJob::KilledJobError);
  EXPECT_EQ(runningShare(dataHome), 0) << "plumo-share outlived its job";
  EXPECT_TRUE(entries("staging").empty()) << "a share killed leaves its staging folder";
}

// Neither file, http nor https, or no URL at all: a clear error, in the user's language
// where the plugin says it itself, and nothing staged.
TEST_P(SharingThroughThePlugin, WhatIsNoSharableUrlFailsClearly) {
  const Ending ftp = share(input(QStringLiteral("text/plain"), {QStringLiteral("ftp://example.com/notes.txt")}), GetParam());
  ::setenv("LANGUAGE", "de", 1);
  const Ending noUrl = share(input(QStringLiteral("text/plain"), {QStringLiteral("-")}), GetParam());

  EXPECT_EQ(ftp.error, KJob::UserDefinedError);
  EXPECT_EQ(ftp.errorText, QStringLiteral("Plumo: 'ftp://example.com/notes.txt': only http and https links can be shared"));
  EXPECT_EQ(noUrl.error, KJob::UserDefinedError);
  EXPECT_EQ(noUrl.errorText, QStringLiteral("„-“ ist keine URL, die geteilt werden kann."));
  EXPECT_FALSE(fs::exists(root));
}

INSTANTIATE_TEST_SUITE_P(InProcessAndInPurposesRunner, SharingThroughThePlugin, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& run) { return run.param ? "SeparateProcess" : "InProcess"; });

}  // namespace
}  // namespace plumo
