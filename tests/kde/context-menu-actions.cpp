// context-menu-actions PATH...: the entries of the context menu that KDE's file managers
// (Dolphin, Konqueror) show for the selection of PATHs beside their own, one a line, as
// KDE's own lookup of service menus and file-item plugins finds them; an entry of a submenu
// is written "Submenu > Entry". Submenus that fill themselves on showing are shown first.
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <QApplication>
#include <QMenu>
#include <QUrl>
#include <cstdio>

namespace {

void print(QMenu& menu, const QString& path) {
  for (QAction* action : menu.actions()) {
    if (action->isSeparator()) continue;
    if (QMenu* submenu = action->menu()) {
      Q_EMIT submenu->aboutToShow();
      print(*submenu, path + action->text() + QStringLiteral(" > "));
    } else {
      std::printf("%s\n", qPrintable(path + action->text()));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  KFileItemList selection;
  for (int index = 1; index < argc; ++index) {
    selection << KFileItem(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[index])));
  }
  KFileItemActions actions;
  actions.setItemListProperties(KFileItemListProperties(selection));
  QMenu menu;
  actions.addActionsTo(&menu);
  print(menu, QString());
  return 0;
}
