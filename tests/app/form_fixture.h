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
  std::string Kind;  // "message", "error", "yesno", "okcancel"
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

 private:
  static bool Next(std::deque<bool>& Answers) {
    if (Answers.empty()) return false;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
};

}  // namespace kelmora::test
