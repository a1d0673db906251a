// Private-profile (INI) files: the settings store of the platform.
//
// A profile name without a directory is resolved into the user's
// configuration folder: $XDG_CONFIG_HOME when it is set to an absolute path,
// else ~/.config. A name with a directory is used as given. The program
// passes "ravelin", so its settings live in ~/.config/ravelin.
//
// File form: "[Section]" lines open sections, "Entry=Value" lines hold
// entries; blank lines and lines starting with ";" are kept as they are.
// Section and entry names compare without regard to case; values keep their
// case and lose surrounding blanks. Entries before any section line belong to
// a section with an empty name.
//
// Writes replace the file atomically (written beside it, then renamed), so a
// crash while saving leaves either the old or the new file, never a torn one.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace platform {

QString ResolveProfilePath(const QString& name);

class IniFile {
 public:
  // Reads `path`; a missing file is an empty profile (returns true). Returns
  // false only when the file exists but cannot be read.
  bool Load(const QString& path);
  // Writes the whole profile to `path` atomically, creating its folder.
  bool Save(const QString& path) const;

  std::optional<QString> Get(const QString& section, const QString& entry) const;
  void Set(const QString& section, const QString& entry, const QString& value);
  // Removes the entry; a section left without entries is removed with it.
  void Remove(const QString& section, const QString& entry);
  QStringList Sections() const;

 private:
  struct Line {
    QString key;  // empty for a blank or comment line
    QString text; // the value, or the raw line when key is empty
  };
  struct Section {
    QString name;
    std::vector<Line> lines;
  };
  Section* FindSection(const QString& name);
  const Section* FindSection(const QString& name) const;

  std::vector<Section> sections_;
};

// One-call helpers over a profile name, as the platform's private-profile
// functions offer them: each reads the file, and a write saves it at once.
std::optional<QString> GetProfileString(const QString& profile,
                                        const QString& section,
                                        const QString& entry);
// Writes the entry, or deletes it when `value` is empty-optional.
bool WriteProfileString(const QString& profile, const QString& section,
                        const QString& entry,
                        const std::optional<QString>& value);

}  // namespace platform
