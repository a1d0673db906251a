#include "platform/settings_manager.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include "platform/private_profile.h"

namespace platform {
namespace {

const QString kMaximize = QStringLiteral("Maximize");
const QString kMinimize = QStringLiteral("Minimize");
const QString kXPos = QStringLiteral("XPos");
const QString kYPos = QStringLiteral("YPos");
const QString kWidth = QStringLiteral("Width");
const QString kHeight = QStringLiteral("Height");
const QString kYes = QStringLiteral("Yes");
const QString kNo = QStringLiteral("No");

std::optional<int> WholeNumber(const std::optional<QString>& text) {
  if (!text) return std::nullopt;
  bool ok = false;
  const int value = text->toInt(&ok);
  if (!ok) return std::nullopt;
  return value;
}

// Whether a window at `rect` could be reached by the user.
bool Reachable(const QWidget* window, const QRect& rect) {
  if (!window->isWindow()) {
    const QWidget* parent = window->parentWidget();
    return parent == nullptr || parent->rect().intersects(rect);
  }
  for (const QScreen* screen : QGuiApplication::screens())
    if (screen->availableGeometry().intersects(rect)) return true;
  return false;
}

}  // namespace

SettingsManager::SettingsManager(const QString& profile_name)
    : profile_(profile_name) {}

SettingsManager::~SettingsManager() = default;

QString SettingsManager::path() const { return ResolveProfilePath(profile_); }

std::optional<QString> SettingsManager::Fetch(const QString& section,
                                              const QString& entry) const {
  return GetProfileString(profile_, section, entry);
}

void SettingsManager::Update(const QString& section, const QString& entry,
                             const QString& value) {
  WriteProfileString(profile_, section, entry, value);
}

void SettingsManager::Delete(const QString& section, const QString& entry) {
  WriteProfileString(profile_, section, entry, std::nullopt);
}

void SettingsManager::FetchWindow(const QString& section, QWidget* window,
                                  bool resizable) const {
  const std::optional<QString> maximize = Fetch(section, kMaximize);
  if (!maximize || (*maximize != kYes && *maximize != kNo)) return;
  const bool maximized = *maximize == kYes;

  if (!maximized && window->isMaximized())
    window->setWindowState(window->windowState() & ~Qt::WindowMaximized);

  QRect rect(window->pos(), window->size());
  const auto x = WholeNumber(Fetch(section, kXPos));
  const auto y = WholeNumber(Fetch(section, kYPos));
  if (x && y) rect.moveTopLeft(QPoint(*x, *y));
  if (resizable) {
    const auto w = WholeNumber(Fetch(section, kWidth));
    const auto h = WholeNumber(Fetch(section, kHeight));
    if (w && *w > 0) rect.setWidth(*w);
    if (h && *h > 0) rect.setHeight(*h);
  }
  if (Reachable(window, rect)) {
    if (rect.size() != window->size()) window->resize(rect.size());
    window->move(rect.topLeft());
  }

  if (maximized)
    window->setWindowState(window->windowState() | Qt::WindowMaximized);
  if (Fetch(section, kMinimize) == kYes)
    window->setWindowState(window->windowState() | Qt::WindowMinimized);
}

void SettingsManager::UpdateWindow(const QString& section, const QWidget* window,
                                   bool resizable) {
  const bool maximized = window->isMaximized();
  const bool minimized = window->isMinimized();
  const QString path = ResolveProfilePath(profile_);
  IniFile ini;
  if (!ini.Load(path)) return;
  ini.Set(section, kMaximize, maximized ? kYes : kNo);
  ini.Set(section, kMinimize, minimized ? kYes : kNo);
  if (maximized || minimized) {
    for (const QString& e : {kXPos, kYPos, kWidth, kHeight}) ini.Remove(section, e);
  } else {
    ini.Set(section, kXPos, QString::number(window->x()));
    ini.Set(section, kYPos, QString::number(window->y()));
    if (resizable) {
      ini.Set(section, kWidth, QString::number(window->width()));
      ini.Set(section, kHeight, QString::number(window->height()));
    }
  }
  ini.Save(path);
}

void SettingsManager::Kill() {
  if (killed_) return;
  killed_ = true;
  WriteProfileString(profile_, QString::fromLatin1(kBookkeepingSection),
                     QString::fromLatin1(kBookkeepingEntry), QString());
}

}  // namespace platform
