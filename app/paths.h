// SPDX-License-Identifier: GPL-3.0-or-later
//
// Where the application finds its own files: the folder of the executable,
// the settings file beside it (or in the user's configuration folder when
// that folder cannot be written) and the language folder.
#pragma once

#include <QString>

namespace kelmora::app {

// Folder of the running executable, ending in "/".
QString ExecutableFolder();
// Full path of the running executable.
QString ExecutablePath();

// The settings file for an executable: its path with ".ini" in place of its
// extension, or, when neither that file nor its folder can be written or
// the program is installed (its languages under ../share/kelmora),
// <config>/kelmora/<name>.ini where <config> is $XDG_CONFIG_HOME or
// ~/.config.
QString SettingsPathFor(const QString& Executable);

// The language folder, ending in "/": "language" beside the executable, or
// the installed data folder (../share/kelmora/language) when there is none
// beside it.
QString LanguageFolderFor(const QString& AppFolder);

// Folder that default archive and folder paths start from: the
// application's folder when it can be written and is no installed program's,
// else the user's home folder.
QString DefaultDataFolder(const QString& AppFolder);

// Folder part of Path including its last "/" ("" when there is none).
QString ExtractFilePath(const QString& Path);
// Path without its extension (the part from the last "." after the last "/").
QString RemoveExtension(const QString& Path);

}  // namespace kelmora::app
