// Points $XDG_CONFIG_HOME at a fresh temporary folder for one test, so
// profile files ("ravelin") are written there and never into ~/.config.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

namespace testing_support {

class TempConfig {
 public:
  TempConfig() : old_(qgetenv("XDG_CONFIG_HOME")), had_(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")) {
    qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
  }
  ~TempConfig() {
    if (had_)
      qputenv("XDG_CONFIG_HOME", old_);
    else
      qunsetenv("XDG_CONFIG_HOME");
  }
  QString path(const QString& name) const { return dir_.path() + u'/' + name; }
  QString Read(const QString& name) const {
    QFile f(path(name));
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(f.readAll());
  }
  void Write(const QString& name, const QString& text) const {
    QFile f(path(name));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
  }

 private:
  QTemporaryDir dir_;
  QByteArray old_;
  bool had_;
};

}  // namespace testing_support
