#pragma once

#include <purpose/job.h>

#include <QProcess>
#include <QString>

namespace plumo {

// Shares the job's `urls` by running plumo-share, found beside the plugin in its
// install prefix, and ends the way plumo-share's exit status says.
class ShareToPlumoJob : public Purpose::Job {
  Q_OBJECT

 public:
  explicit ShareToPlumoJob(QObject* parent = nullptr);
  // A job destroyed while plumo-share runs dismisses it, as QProcess would kill it.
  ~ShareToPlumoJob() override;

  // Returns at once: Purpose's out-of-process runner connects to the job only after start().
  void start() override;

 protected:
  // Purpose's Cancel: plumo-share's own dismiss, waited for.
  bool doKill() override;

 private:
  void share();
  void finish(int exitCode, QProcess::ExitStatus exitStatus);
  void fail(int code, const QString& text);
  void dismissShare();

  QProcess process_;
};

}  // namespace plumo
