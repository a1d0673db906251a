// Help: the program's help file, its viewer, and the per-window F1 handler.
//
// A help file is a bundle: a folder named like the file ("ravelin.chm")
// holding HTML topic pages, plus two pages every bundle has, "contents.htm"
// (the table of contents) and "index.htm" (the index). The search page is the
// viewer's own: it finds the topic pages that contain every word asked for.
//
// Finding a bundle: a name with a directory is used as given. A name without
// one is looked for in the search folders, in order; by default these are
// the executable's folder (so a site can replace the pages without a
// rebuild) and then the bundle compiled into the program (":/help"). When no
// folder has it, the help file is missing: every request shows the viewer
// with a line saying so and no page, and the program carries on.
//
// HelpSystem is process-wide and owns the one viewer window. HelpHandler
// belongs to one window: F1 anywhere in that window shows the topic of the
// focused control if one was registered, else the window's topic page, else
// the table of contents. Handlers of nested windows see F1 first, so a child
// window's topic wins over the frame's.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>

class QLineEdit;
class QTextBrowser;
class QLabel;

namespace platform {

class HelpViewer : public QWidget {
  Q_OBJECT
 public:
  inline static constexpr const char* kContentsPage = "contents.htm";
  inline static constexpr const char* kIndexPage = "index.htm";
  inline static constexpr const char* kSearchPage = "search";

  explicit HelpViewer(QWidget* parent = nullptr);

  // Shows `page` of the bundle at `folder` (a file path or ":/..." resource
  // path). An empty folder means the help file is missing: the viewer says so
  // and shows no page. Returns whether a page is shown.
  bool ShowPage(const QString& help_name, const QString& folder, const QString& page);
  bool ShowSearch(const QString& help_name, const QString& folder);
  // Runs a search on the search page and returns the pages found.
  QStringList Search(const QString& words);

  // The page shown ("MainMenu.htm", "search", or empty for none).
  QString current_page() const { return current_page_; }
  QTextBrowser* browser() const { return browser_; }
  QLineEdit* search_field() const { return search_field_; }

 private:
  void Missing(const QString& help_name);
  void OnSourceChanged(const QUrl& url);
  QUrl PageUrl(const QString& page) const;

  QTextBrowser* browser_;
  QWidget* search_bar_;
  QLineEdit* search_field_;
  QLabel* notice_;
  QString help_name_;
  QString folder_;
  QString current_page_;
};

class HelpSystem {
 public:
  explicit HelpSystem(QStringList search_folders = DefaultSearchFolders());
  ~HelpSystem();
  HelpSystem(const HelpSystem&) = delete;
  HelpSystem& operator=(const HelpSystem&) = delete;

  static QStringList DefaultSearchFolders();

  // Makes `name` the program's help file. Shows nothing.
  void Register(const QString& name);
  const QString& help_file() const { return help_file_; }

  // The bundle folder for `name`, or empty when it cannot be found.
  QString Resolve(const QString& name) const;

  bool ShowTopic(const QString& name, const QString& page);
  bool ShowContents(const QString& name);
  bool ShowIndex(const QString& name);
  bool ShowSearch(const QString& name);

  HelpViewer* viewer();  // created on first use

 private:
  HelpViewer* Present();

  QStringList search_folders_;
  QString help_file_;
  QPointer<HelpViewer> viewer_;
};

class HelpHandler : public QObject {
  Q_OBJECT
 public:
  // Binds F1 in `window` to `help_file`; `topic` may be empty.
  HelpHandler(HelpSystem& system, QWidget* window, QString help_file,
              QString topic);

  void SetTopic(const QString& page) { topic_ = page; }
  const QString& topic() const { return topic_; }
  void SetControlTopic(QWidget* control, const QString& page);

  // What F1 does.
  bool ShowHelp();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  HelpSystem& system_;
  QPointer<QWidget> window_;
  QString help_file_;
  QString topic_;
  QHash<QWidget*, QString> control_topics_;
};

}  // namespace platform
