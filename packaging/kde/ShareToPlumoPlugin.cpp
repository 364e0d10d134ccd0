// "Share to Plumo" in the Share menu of KDE applications: a Purpose plugin of type
// Export, loaded from <prefix>/lib/<multiarch>/qt{5,6}/plugins/kf{5,6}/purpose/.
#include <KPluginFactory>
#include <purpose/pluginbase.h>

#include "ShareToPlumoJob.h"

namespace plumo {

class ShareToPlumoPlugin : public Purpose::PluginBase {
  Q_OBJECT

 public:
  ShareToPlumoPlugin(QObject* parent, const QVariantList&) : Purpose::PluginBase(parent) {}

  Purpose::Job* createJob() const override { return new ShareToPlumoJob(nullptr); }
};

K_PLUGIN_CLASS_WITH_JSON(ShareToPlumoPlugin, "plumo-share-purpose.json")

}  // namespace plumo

#include "ShareToPlumoPlugin.moc"
