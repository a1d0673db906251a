#include "platform/help.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

namespace platform {
namespace {

QString ReadPage(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(file.readAll());
}

}  // namespace

// --- HelpViewer ------------------------------------------------------------

HelpViewer::HelpViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
  auto* contents = new QToolButton;
  contents->setText(tr("Contents"));
  auto* index = new QToolButton;
  index->setText(tr("Index"));
  auto* search = new QToolButton;
  search->setText(tr("Search"));
  auto* back = new QToolButton;
  back->setText(tr("Back"));
  auto* forward = new QToolButton;
  forward->setText(tr("Forward"));

  search_bar_ = new QWidget;
  search_field_ = new QLineEdit;
  search_field_->setPlaceholderText(tr("Words to look for"));
  auto* find = new QPushButton(tr("&List Topics"));
  notice_ = new QLabel;
  notice_->setWordWrap(true);
  notice_->hide();
  browser_ = new QTextBrowser;
  browser_->setOpenLinks(true);

  connect(contents, &QToolButton::clicked, this, [this] {
    ShowPage(help_name_, folder_, QString::fromLatin1(kContentsPage));
  });
  connect(index, &QToolButton::clicked, this, [this] {
    ShowPage(help_name_, folder_, QString::fromLatin1(kIndexPage));
  });
  connect(search, &QToolButton::clicked, this,
          [this] { ShowSearch(help_name_, folder_); });
  connect(back, &QToolButton::clicked, browser_, &QTextBrowser::backward);
  connect(forward, &QToolButton::clicked, browser_, &QTextBrowser::forward);
  connect(find, &QPushButton::clicked, this,
          [this] { Search(search_field_->text()); });
  connect(search_field_, &QLineEdit::returnPressed, this,
          [this] { Search(search_field_->text()); });
  connect(browser_, &QTextBrowser::sourceChanged, this, &HelpViewer::OnSourceChanged);

  auto* tools = new QHBoxLayout;
  for (QToolButton* b : {contents, index, search, back, forward}) tools->addWidget(b);
  tools->addStretch();
  auto* search_row = new QHBoxLayout(search_bar_);
  search_row->setContentsMargins(0, 0, 0, 0);
  search_row->addWidget(search_field_, 1);
  search_row->addWidget(find);
  search_bar_->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(tools);
  layout->addWidget(search_bar_);
  layout->addWidget(notice_);
  layout->addWidget(browser_, 1);

  setWindowTitle(tr("Ravelin Help"));
  resize(640, 480);
}

QUrl HelpViewer::PageUrl(const QString& page) const {
  const QString path = folder_ + u'/' + page;
  if (path.startsWith(u':')) return QUrl(QStringLiteral("qrc") + path);
  return QUrl::fromLocalFile(path);
}

void HelpViewer::Missing(const QString& help_name) {
  current_page_.clear();
  search_bar_->hide();
  browser_->clear();
  notice_->setText(tr("The help file \"%1\" could not be found.").arg(help_name));
  notice_->show();
}

bool HelpViewer::ShowPage(const QString& help_name, const QString& folder,
                          const QString& page) {
  help_name_ = help_name;
  folder_ = folder;
  if (folder.isEmpty()) {
    Missing(help_name);
    return false;
  }
  if (!QFileInfo::exists(folder + u'/' + page)) {
    current_page_.clear();
    browser_->clear();
    notice_->setText(tr("The help file \"%1\" has no page \"%2\".").arg(help_name, page));
    notice_->show();
    return false;
  }
  notice_->hide();
  search_bar_->hide();
  browser_->setSource(PageUrl(page));
  current_page_ = page;
  return true;
}

void HelpViewer::OnSourceChanged(const QUrl& url) {
  // Following a link inside the bundle changes the page shown.
  if (!url.isEmpty()) current_page_ = QFileInfo(url.path()).fileName();
}

bool HelpViewer::ShowSearch(const QString& help_name, const QString& folder) {
  help_name_ = help_name;
  folder_ = folder;
  if (folder.isEmpty()) {
    Missing(help_name);
    return false;
  }
  notice_->hide();
  search_bar_->show();
  browser_->setHtml(tr("<h2>Search</h2><p>Type the words to look for and press "
                       "<b>List Topics</b>. Every topic that contains all of "
                       "them is listed.</p>"));
  current_page_ = QString::fromLatin1(kSearchPage);
  search_field_->setFocus();
  return true;
}

QStringList HelpViewer::Search(const QString& words) {
  QStringList found;
  if (folder_.isEmpty()) return found;
  const QStringList wanted = words.split(u' ', Qt::SkipEmptyParts);
  QString html = tr("<h2>Search</h2>");
  const QStringList pages =
      QDir(folder_).entryList({QStringLiteral("*.htm")}, QDir::Files, QDir::Name);
  for (const QString& page : pages) {
    if (page == QLatin1StringView(kContentsPage) || page == QLatin1StringView(kIndexPage))
      continue;
    QTextDocument doc;
    doc.setHtml(ReadPage(folder_ + u'/' + page));
    const QString text = doc.toPlainText();
    const bool all = !wanted.isEmpty() &&
                     std::all_of(wanted.begin(), wanted.end(), [&](const QString& w) {
                       return text.contains(w, Qt::CaseInsensitive);
                     });
    if (!all) continue;
    found << page;
    const QString title = doc.metaInformation(QTextDocument::DocumentTitle);
    html += QStringLiteral("<p><a href=\"%1\">%2</a></p>")
                .arg(PageUrl(page).toString(), (title.isEmpty() ? page : title).toHtmlEscaped());
  }
  if (found.isEmpty()) html += tr("<p>No topic contains all of these words.</p>");
  browser_->setHtml(html);
  current_page_ = QString::fromLatin1(kSearchPage);
  return found;
}

// --- HelpSystem ------------------------------------------------------------

HelpSystem::HelpSystem(QStringList search_folders)
    : search_folders_(std::move(search_folders)) {}

HelpSystem::~HelpSystem() { delete viewer_.data(); }

QStringList HelpSystem::DefaultSearchFolders() {
  return {QCoreApplication::applicationDirPath(), QStringLiteral(":/help")};
}

void HelpSystem::Register(const QString& name) { help_file_ = name; }

QString HelpSystem::Resolve(const QString& name) const {
  if (name.isEmpty()) return QString();
  if (name.contains(u'/'))
    return QFileInfo(name).isDir() ? name : QString();
  for (const QString& folder : search_folders_) {
    const QString candidate = folder + u'/' + name;
    if (QFileInfo(candidate).isDir()) return candidate;
  }
  return QString();
}

HelpViewer* HelpSystem::viewer() {
  if (!viewer_) viewer_ = new HelpViewer;
  return viewer_;
}

HelpViewer* HelpSystem::Present() {
  HelpViewer* v = viewer();
  v->show();
  v->raise();
  v->activateWindow();
  return v;
}

bool HelpSystem::ShowTopic(const QString& name, const QString& page) {
  return Present()->ShowPage(name, Resolve(name), page);
}

bool HelpSystem::ShowContents(const QString& name) {
  return ShowTopic(name, QString::fromLatin1(HelpViewer::kContentsPage));
}

bool HelpSystem::ShowIndex(const QString& name) {
  return ShowTopic(name, QString::fromLatin1(HelpViewer::kIndexPage));
}

bool HelpSystem::ShowSearch(const QString& name) {
  return Present()->ShowSearch(name, Resolve(name));
}

// --- HelpHandler -----------------------------------------------------------

HelpHandler::HelpHandler(HelpSystem& system, QWidget* window, QString help_file,
                         QString topic)
    : QObject(window),
      system_(system),
      window_(window),
      help_file_(std::move(help_file)),
      topic_(std::move(topic)) {
  window->installEventFilter(this);
}

void HelpHandler::SetControlTopic(QWidget* control, const QString& page) {
  control_topics_.insert(control, page);
  connect(control, &QObject::destroyed, this,
          [this, control] { control_topics_.remove(control); });
}

bool HelpHandler::ShowHelp() {
  if (QWidget* focus = QApplication::focusWidget()) {
    if (window_ && (focus == window_ || window_->isAncestorOf(focus))) {
      const auto it = control_topics_.constFind(focus);
      if (it != control_topics_.constEnd() && !it->isEmpty())
        return system_.ShowTopic(help_file_, *it);
    }
  }
  if (!topic_.isEmpty()) return system_.ShowTopic(help_file_, topic_);
  return system_.ShowContents(help_file_);
}

bool HelpHandler::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_F1 && key->modifiers() == Qt::NoModifier) {
      ShowHelp();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace platform
