// SPDX-License-Identifier: GPL-3.0-or-later
//
// Shared set-up of the desktop application's tests: one QApplication for
// the whole run, a fresh application folder per test, and a main window
// whose questions and messages are answered and recorded by the test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "test_support.h"

// Failure messages show texts as text, not as arrays of code units.
inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

namespace kelmora::test {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "kelmora_app_test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct Shown {
  std::string Kind;  // "message", "error", "yesno", "okcancel", "volume", "problems"
  QString Caption;
  QString Text;
};

class FormTest : public ::testing::Test {
 protected:
  TempDir dir;

  // The application's folder, ending in "/".
  QString AppFolder() const { return QString::fromStdString(dir / "app") + "/"; }
  QString SettingsPath() const { return AppFolder() + "kelmora.ini"; }
  std::string Path(const std::string& Relative) const { return dir / Relative; }

  void SetUp() override { QDir().mkpath(AppFolder()); }

  void WriteSettings(const std::string& Text) { WriteFile(SettingsPath().toStdString(), Text); }

  // Copies the shipped language files into the application's folder.
  void InstallLanguages() {
    const QString target = AppFolder() + "language/";
    QDir().mkpath(target);
    for (const char* name : {"English.ini", "Russian.ini"}) {
      QFile::copy(QStringLiteral(KELMORA_SOURCE_DIR "/language/") + name, target + name);
    }
  }

  std::unique_ptr<app::TForm1> MakeForm() {
    auto form = std::make_unique<app::TForm1>(SettingsPath(), AppFolder());
    Answer(*form);
    return form;
  }

  // Routes every box of Form to the record below; questions take their
  // answers from YesNoAnswers / OkCancelAnswers (false once they run out).
  void Answer(app::TForm1& Form) {
    Form.Dialogs.ShowMessage = [this](const QString& C, const QString& T) {
      shown.push_back({"message", C, T});
    };
    Form.Dialogs.ShowError = [this](const QString& C, const QString& T) {
      shown.push_back({"error", C, T});
    };
    Form.Dialogs.AskYesNo = [this](const QString& C, const QString& T) {
      shown.push_back({"yesno", C, T});
      return Next(yesNoAnswers);
    };
    Form.Dialogs.AskOkCancel = [this](const QString& C, const QString& T) {
      shown.push_back({"okcancel", C, T});
      return Next(okCancelAnswers);
    };
    Form.Dialogs.AskSaveFile = [this](const QString& Folder, const QString& Name,
                                      const QString& Filter) {
      saveDialogCalls.push_back({Folder, Name, Filter});
      return saveAnswer;
    };
    Form.Dialogs.AskOpenFile = [this](const QString& Folder, const QString&) {
      openDialogFolders.push_back(Folder);
      return openAnswer;
    };
    Form.Dialogs.AskVolume = [this](const QString& C, const QString& T, const QString&) {
      shown.push_back({"volume", C, T});
      if (volumeAnswers.empty()) return app::TVolumeAnswer{};
      const app::TVolumeAnswer answer = volumeAnswers.front();
      volumeAnswers.pop_front();
      return answer;
    };
    Form.Dialogs.AskRestore = [this](app::TRestoreRequest& Request) {
      restoreAsked.push_back(Request);
      if (!restoreAnswer) return false;
      Request.Folder = restoreAnswer->Folder;
      Request.Placement = restoreAnswer->Placement;
      return true;
    };
    Form.Dialogs.ShowProblems = [this](const QString& C, const QString& T,
                                       const std::vector<app::TProblem>& Problems) {
      shown.push_back({"problems", C, T});
      problems = Problems;
    };
    Form.Dialogs.Notify = [this](const QString& Title, const QString& Body) {
      notifications.push_back({"notify", Title, Body});
    };
  }

  std::vector<Shown> ShownOf(const std::string& Kind) const {
    std::vector<Shown> result;
    for (const Shown& s : shown)
      if (s.Kind == Kind) result.push_back(s);
    return result;
  }

  std::vector<Shown> shown;
  std::deque<bool> yesNoAnswers;
  std::deque<bool> okCancelAnswers;
  struct SaveCall {
    QString Folder, Name, Filter;
  };
  std::vector<SaveCall> saveDialogCalls;
  QString saveAnswer;
  std::vector<QString> openDialogFolders;
  QString openAnswer;
  std::deque<app::TVolumeAnswer> volumeAnswers;
  std::vector<app::TRestoreRequest> restoreAsked;
  // Where AskRestore sends the files; null answers Cancel.
  std::optional<app::TRestoreRequest> restoreAnswer;
  std::vector<app::TProblem> problems;
  std::vector<Shown> notifications;

 private:
  static bool Next(std::deque<bool>& Answers) {
    if (Answers.empty()) return false;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
};

}  // namespace kelmora::test
