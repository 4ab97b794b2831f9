// SPDX-License-Identifier: GPL-3.0-or-later
//
// A profile (INI) file held in memory: read the way the desktop's profile
// services read one (section and key names without regard to case, a
// leading byte-order mark ignored, a value in matching quotes stripped of
// them) and written back whole, keeping what else the file holds.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

namespace kelmora::app {

// Reads a signed 32-bit decimal number, blanks around it allowed. False
// for anything else, including values out of range.
bool ParseInt32(const QString& Text, int32_t& Value);

class TIniFile {
 public:
  TIniFile();
  ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  // Reads the file. A missing, unreadable or malformed file leaves this
  // empty, so every read returns its default. Texts are UTF-8.
  void Load(const QString& Path);

  // Default when the key is absent; "" when it is present and empty.
  QString ReadString(const QString& Section, const QString& Key, const QString& Def) const;
  // Default when the key is absent or its value is not a number.
  int32_t ReadInteger(const QString& Section, const QString& Key, int32_t Def) const;
  // An integer; anything other than 0 is true.
  bool ReadBool(const QString& Section, const QString& Key, bool Def) const;

  void WriteString(const QString& Section, const QString& Key, const QString& Value);
  void WriteInteger(const QString& Section, const QString& Key, int32_t Value);
  void WriteBool(const QString& Section, const QString& Key, bool Value);
  // Removes the section with every key in it.
  void DeleteSection(const QString& Section);

  // Replaces the file in one step (a new file is written, then renamed over
  // the old one), creating its folder when needed. On failure returns
  // false and sets error to "Unable to write to <path>".
  bool Save(const QString& Path, QString& Error) const;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

}  // namespace kelmora::app
