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
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
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
  std::string Path(const std::string& relative) const { return dir / relative; }

  void SetUp() override { QDir().mkpath(AppFolder()); }

  void WriteSettings(const std::string& text) { WriteFile(SettingsPath().toStdString(), text); }

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
  void Answer(app::TForm1& form) {
    form.Dialogs.ShowMessage = [this](const QString& c, const QString& t) {
      shown.push_back({"message", c, t});
    };
    form.Dialogs.ShowError = [this](const QString& c, const QString& t) {
      shown.push_back({"error", c, t});
    };
    form.Dialogs.AskYesNo = [this](const QString& c, const QString& t) {
      shown.push_back({"yesno", c, t});
      return Next(yesNoAnswers);
    };
    form.Dialogs.AskOkCancel = [this](const QString& c, const QString& t) {
      shown.push_back({"okcancel", c, t});
      return Next(okCancelAnswers);
    };
    form.Dialogs.AskSaveFile = [this](const QString& folder, const QString& name,
                                      const QString& filter) {
      saveDialogCalls.push_back({folder, name, filter});
      return saveAnswer;
    };
  }

  std::vector<Shown> ShownOf(const std::string& kind) const {
    std::vector<Shown> result;
    for (const Shown& s : shown)
      if (s.Kind == kind) result.push_back(s);
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
  static bool Next(std::deque<bool>& answers) {
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

}  // namespace kelmora::test
