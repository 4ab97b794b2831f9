// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/run_outcome.h"

#include <QStringList>
#include <set>

namespace kelmora::app {

int32_t TRunOutcome::DamagedFiles() const {
  std::set<std::string> names;
  for (const TDamage& d : Damages)
    if (!d.Filename.empty()) names.insert(d.Filename);
  return static_cast<int32_t>(names.size());
}

QString DescribeFailure(const TFailure& Failure, const TErrorText& ErrorText) {
  QString text = ErrorText(Failure.Code);
  // Names and the system's words are shown as they came, untranslated.
  if (!Failure.Subject.empty()) text += ": " + QString::fromStdString(Failure.Subject);
  if (!Failure.Reason.empty()) text += ": " + QString::fromStdString(Failure.Reason);
  return text;
}

namespace {

QString T(const TTextSource& Text, const char* Key) {
  return Text(QString::fromLatin1(Key));
}

QString BackupLine(const TRunOutcome& O, const TTextSource& Text) {
  if (O.End == TRunEnd::Completed) {
    const QString change = O.Rate >= 0
                               ? T(Text, "Outcome->Smaller").arg(FormatPercent(O.Rate, Text))
                               : T(Text, "Outcome->Larger").arg(FormatPercent(-O.Rate, Text));
    QString line = T(Text, "Outcome->Backup")
                       .arg(FormatCount(O.FilesDone), FormatSize(O.Bytes, Text),
                            FormatSize(O.ArchiveBytes, Text), change, FormatCount(O.Volumes));
    // Left out by default, so never in silence.
    if (O.HiddenFolders > 0)
      line += " - " + T(Text, "Outcome->HiddenLeftOut").arg(FormatCount(O.HiddenFolders));
    return line;
  }
  // The archive's volumes take the old one's place only when the whole run
  // succeeded: whatever stopped it, nothing was written under the name.
  return T(Text, "Outcome->BackupAfter").arg(FormatCount(O.FilesDone), FormatCount(O.FileCount)) +
         " - " +
         (O.HadArchive ? T(Text, "Outcome->OlderArchiveKept") : T(Text, "Outcome->NoArchive"));
}

QString RestoreCounts(const TRunOutcome& O, const TTextSource& Text) {
  QStringList parts;
  parts << T(Text, "Outcome->Restored").arg(FormatCount(O.Restored), FormatSize(O.Bytes, Text));
  parts << T(Text, "Outcome->Kept").arg(FormatCount(O.Kept));
  if (const int32_t damaged = O.DamagedFiles(); damaged > 0)
    parts << T(Text, "Outcome->Damaged").arg(FormatCount(damaged));
  if (O.Refused > 0) parts << T(Text, "Outcome->Refused").arg(FormatCount(O.Refused));
  if (O.Companion != csNone && O.Companion != csSound) parts << T(Text, "Outcome->NoCompanion");
  return parts.join(QStringLiteral(" - "));
}

QString TestLine(const TRunOutcome& O, const TTextSource& Text) {
  const int32_t damaged = O.DamagedFiles();
  QString line;
  if (O.Damages.empty() && !O.Incomplete) {
    line = T(Text, "Outcome->TestSound").arg(FormatCount(O.FilesDone), FormatSize(O.Bytes, Text));
  } else {
    line = T(Text, "Outcome->TestDamaged").arg(FormatCount(damaged), FormatCount(O.FilesDone));
    if (O.Incomplete) line += " - " + T(Text, "Outcome->Incomplete");
  }
  return line;
}

}  // namespace

QString DescribeOutcome(const TRunOutcome& O, const TTextSource& Text, const TErrorText& ErrorText,
                        const TEngineText& EngineText) {
  QStringList parts;
  if (!O.Exception.empty()) {
    parts << T(Text, "Status->Error").arg(EngineText(O.Exception));
  } else if (O.End == TRunEnd::Failed) {
    parts << T(Text, "Status->Error").arg(DescribeFailure(O.Failure, ErrorText));
  } else if (O.End == TRunEnd::Stopped) {
    parts << T(Text, "Outcome->Stopped");
  } else if (O.End == TRunEnd::Cancelled) {
    parts << T(Text, "Outcome->Cancelled").arg(O.MissingVolume);
  }
  switch (O.Kind) {
    case TRunKind::Backup:
      parts << BackupLine(O, Text);
      break;
    case TRunKind::Restore:
      parts << RestoreCounts(O, Text);
      break;
    case TRunKind::Test:
      if (O.End == TRunEnd::Completed && O.Exception.empty())
        parts << TestLine(O, Text);
      else
        parts << T(Text, "Outcome->Checked").arg(FormatCount(O.FilesDone));
      break;
  }
  parts << FormatDuration(O.Seconds, Text);
  return parts.join(QStringLiteral(" - "));
}

}  // namespace kelmora::app
