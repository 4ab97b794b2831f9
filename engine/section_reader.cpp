#include "engine/section_reader.h"

#include <memory>

#include "engine/archive_format.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

constexpr size_t kPiece = static_cast<size_t>(format::kPieceSize);

// What a skipped chunk adds to progress: its size is unknown without
// inflating it, so it counts as a full piece.
constexpr int64_t kSkippedChunkWeight = format::kPieceSize;

// The file-ID list is a text of lines that end with CR LF.
void LoadLines(const std::string& Text, TStringList& List) {
  List.clear();
  size_t start = 0;
  while (start < Text.size()) {
    size_t end = Text.find('\n', start);
    const size_t next = end == std::string::npos ? Text.size() : end + 1;
    if (end == std::string::npos) end = Text.size();
    if (end > start && Text[end - 1] == '\r') --end;
    List.emplace_back(Text, start, end - start);
    start = next;
  }
}

// After a section of the file-ID list: true when a volume change follows,
// with VolumeName and Volume moved on to the next volume. A volume change
// that cannot be followed (a caller's stream, a number that does not
// count upwards, a missing file) is damage: the list is incomplete.
bool ListGoesOn(TStream& Archive, bool FromStream, std::string& VolumeName, int& Volume) {
  const int32_t length = format::ReadInt32(Archive);
  if (length != format::kVolumeChangeNameLength) return false;
  const std::string name = format::ReadChars(Archive, length);
  if (!format::IsVolumeChangeName(name)) return false;
  const std::string digits = format::VolumeDigits(name);
  const int number = format::VolumeNumber(digits);
  if (FromStream || number <= Volume) throw Exception(format::kInvalidArchive);
  Volume = number;
  VolumeName = format::NextVolumeName(VolumeName, digits);
  if (!platform::FileExists(VolumeName)) throw Exception(format::kInvalidArchive);
  return true;
}

}  // namespace

SectionReader::SectionReader(TBackupFile& Engine)
    : engine_(Engine), in_(new unsigned char[kPiece]), out_(new unsigned char[kPiece]) {}

void SectionReader::Read(TStream& Source, TStream* Target, bool Decompress) {
  format::ReadSignature(Source);
  const bool reportsProgress = dynamic_cast<TFileStream*>(Target) != nullptr;
  int32_t length = -1;  // anything but the terminator before the first chunk
  while (length != 0 && engine_.continue_) {
    length = format::ReadChunkLength(Source);
    int64_t contribution = 0;
    if (length != 0) {
      const size_t size = static_cast<size_t>(length < 0 ? -static_cast<int64_t>(length) : length);
      if (Decompress) {
        Source.ReadBuffer(in_.get(), size);
        const unsigned char* bytes = in_.get();
        size_t produced = size;
        if (length > 0) {
          bool damaged = false;
          produced = inflater_.Inflate(in_.get(), size, out_.get(), damaged);
          bytes = out_.get();
          if (damaged) engine_.Fail(beCompression);
        }
        // What a damaged chunk did produce is kept: the file is left as far
        // as it could be read.
        if (Target != nullptr) Target->WriteBuffer(bytes, produced);
        contribution = static_cast<int64_t>(produced);
      } else {
        Source.Skip(static_cast<int64_t>(size));
        contribution = kSkippedChunkWeight;
      }
    }
    engine_.ProcessMessages();
    if (reportsProgress) {
      engine_.bytesDone_ += contribution;
      engine_.ReportProgress(engine_.currentFile_);
    }
  }
}

void TBackupFile::DeCompress(TStream& Source, TStream* Target, bool Decompress) {
  SectionReader(*this).Read(Source, Target, Decompress);
}

std::string TBackupFile::GetArchiveTitle(const std::string& ArchiveName, TStringList* List) {
  const bool fromStream = ArchiveName == kStreamArchiveName;
  std::string title;
  totalSize_ = 0;
  fileCount_ = 0;
  filesDone_ = 0;

  std::unique_ptr<TFileStream> file;
  TStream* archive = sourceStream_;
  if (!fromStream) {
    if (!platform::FileExists(ArchiveName)) return title;
    try {
      file = std::make_unique<TFileStream>(ArchiveName, TFileStream::fmOpenRead);
    } catch (const EStreamError&) {
      errorCode_ = beCannotReadArchive;
      MessageError(errorCode_);
      return title;
    }
    archive = file.get();
  }
  if (archive == nullptr) return title;

  try {
    title = format::ReadChars(*archive, format::ReadInt32(*archive));
    totalSize_ = format::ReadInt32(*archive);
    fileCount_ = format::ReadInt32(*archive);
    const int32_t nameLength = format::ReadInt32(*archive);
    if (nameLength > 0 && List != nullptr &&
        format::IsFileListName(format::ReadChars(*archive, nameLength))) {
      format::ReadInt32(*archive);  // the list's own time stamp
      TMemoryStream text;
      continue_ = true;
      const int32_t codeBefore = errorCode_;
      errorCode_ = beNone;
      DeCompress(*archive, &text, true);
      // The writer may split even the list over volumes; its first part
      // alone would pass for the whole list.
      std::string volumeName = ArchiveName;
      int volume = 1;
      while (errorCode_ == beNone && ListGoesOn(*archive, fromStream, volumeName, volume)) {
        file = std::make_unique<TFileStream>(volumeName, TFileStream::fmOpenRead);
        archive = file.get();
        DeCompress(*archive, &text, true);
      }
      if (errorCode_ != beNone) {
        // A damaged list is reported, not handed out in part.
        MessageError(errorCode_);
      } else {
        errorCode_ = codeBefore;
        LoadLines(text.Text(), *List);
      }
    }
  } catch (const Exception&) {
    errorCode_ = beInvalidArchive;
    MessageError(errorCode_);
  }
  return title;
}

std::string TBackupFile::GetArchiveTitleFromStream(TStream* Stream, TStringList* List) {
  if (Stream == nullptr) return {};
  sourceStream_ = Stream;
  try {
    return GetArchiveTitle(kStreamArchiveName, List);
  } catch (...) {
    return {};
  }
}

}  // namespace kelmora
