#include "platform/private_profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

namespace platform {

QString ResolveProfilePath(const QString& name) {
  if (name.contains(u'/')) return name;
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty() || !QDir::isAbsolutePath(base))
    base = QDir::homePath() + QStringLiteral("/.config");
  return base + u'/' + name;
}

bool IniFile::Load(const QString& path) {
  sections_.clear();
  QFile file(path);
  if (!file.exists()) return true;
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  QTextStream in(&file);
  Section* current = nullptr;
  while (!in.atEnd()) {
    const QString raw = in.readLine();
    const QString line = raw.trimmed();
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      const QString name = line.mid(1, line.size() - 2).trimmed();
      current = FindSection(name);
      if (current == nullptr) {
        sections_.push_back({name, {}});
        current = &sections_.back();
      }
      continue;
    }
    if (current == nullptr) {
      sections_.push_back({QString(), {}});
      current = &sections_.back();
    }
    const qsizetype eq = line.indexOf(u'=');
    if (line.isEmpty() || line.startsWith(u';') || eq <= 0) {
      current->lines.push_back({QString(), raw});
      continue;
    }
    current->lines.push_back({line.left(eq).trimmed(), line.mid(eq + 1).trimmed()});
  }
  return true;
}

bool IniFile::Save(const QString& path) const {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
  QTextStream out(&file);
  bool first = true;
  for (const Section& s : sections_) {
    if (!(first && s.name.isEmpty())) out << '[' << s.name << "]\n";
    first = false;
    for (const Line& l : s.lines) {
      if (l.key.isEmpty())
        out << l.text << '\n';
      else
        out << l.key << '=' << l.text << '\n';
    }
  }
  out.flush();
  return file.commit();
}

IniFile::Section* IniFile::FindSection(const QString& name) {
  for (Section& s : sections_)
    if (s.name.compare(name, Qt::CaseInsensitive) == 0) return &s;
  return nullptr;
}

const IniFile::Section* IniFile::FindSection(const QString& name) const {
  return const_cast<IniFile*>(this)->FindSection(name);
}

std::optional<QString> IniFile::Get(const QString& section,
                                    const QString& entry) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  for (const Line& l : s->lines)
    if (!l.key.isEmpty() && l.key.compare(entry, Qt::CaseInsensitive) == 0)
      return l.text;
  return std::nullopt;
}

void IniFile::Set(const QString& section, const QString& entry,
                  const QString& value) {
  // Line structure is ours: a value may not carry a line break into the file.
  QString clean = value;
  clean.replace(u'\n', u' ').replace(u'\r', u' ');
  Section* s = FindSection(section);
  if (s == nullptr) {
    sections_.push_back({section, {}});
    s = &sections_.back();
  }
  for (Line& l : s->lines) {
    if (!l.key.isEmpty() && l.key.compare(entry, Qt::CaseInsensitive) == 0) {
      l.text = clean.trimmed();
      return;
    }
  }
  // New entries go after the section's last entry, before trailing blanks.
  auto at = s->lines.end();
  while (at != s->lines.begin() && std::prev(at)->key.isEmpty()) --at;
  s->lines.insert(at, {entry, clean.trimmed()});
}

void IniFile::Remove(const QString& section, const QString& entry) {
  Section* s = FindSection(section);
  if (s == nullptr) return;
  std::erase_if(s->lines, [&](const Line& l) {
    return !l.key.isEmpty() && l.key.compare(entry, Qt::CaseInsensitive) == 0;
  });
  const bool has_entries = std::any_of(s->lines.begin(), s->lines.end(),
                                       [](const Line& l) { return !l.key.isEmpty(); });
  if (!has_entries) {
    std::erase_if(sections_, [&](const Section& x) { return &x == s; });
  }
}

QStringList IniFile::Sections() const {
  QStringList names;
  for (const Section& s : sections_) names << s.name;
  return names;
}

std::optional<QString> GetProfileString(const QString& profile,
                                        const QString& section,
                                        const QString& entry) {
  IniFile ini;
  if (!ini.Load(ResolveProfilePath(profile))) return std::nullopt;
  return ini.Get(section, entry);
}

bool WriteProfileString(const QString& profile, const QString& section,
                        const QString& entry,
                        const std::optional<QString>& value) {
  const QString path = ResolveProfilePath(profile);
  IniFile ini;
  // An unreadable file is left alone rather than replaced by one that lost
  // everything but this entry.
  if (!ini.Load(path)) return false;
  if (value)
    ini.Set(section, entry, *value);
  else
    ini.Remove(section, entry);
  return ini.Save(path);
}

}  // namespace platform
