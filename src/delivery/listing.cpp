#include <cstring>
#include <string>
#include <string_view>

#include "conversion/process_conversions.h"
#include "delivery/delivery.h"
#include "delivery/listing_record.h"
#include "names/adapter_names.h"
#include "platform/file.h"
#include "server/activity_log.h"
#include "server/media_folder_check.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

struct FolderToList {
  ListingFolder folder;
  PathField ServerSettings::*path;
};

constexpr FolderToList kFoldersInOrder[] = {
    {ListingFolder::kVideo, &ServerSettings::videoFolder},
    {ListingFolder::kAudio, &ServerSettings::audioFolder},
    {ListingFolder::kPhoto, &ServerSettings::photoFolder},
};

enum class WalkEnd { kFolderDone, kStopped, kConnectionLost, kNumbersUsedUp };

// The sources a listing found whose headers were never read, for the background pass.
using Unmeasured = Conversions::ToMeasure;

// Sends a record for every entry the name layer lists, as it is found (a batch of records to a
// system call): the reply flows while the walk goes on, and nothing per entry is allocated.
// With conversions, a converted source's record (and that of a .jpg that must be converted)
// carries the length a play of it sends: exact once it was measured, estimated before, from
// what is in memory only; one that cannot be played is left out.
class RecordSender : public ListingSink {
 public:
  RecordSender(BlockBatch& records, const ServerRun& run, int32_t* nextNumber)
      : records_(records), run_(run), nextNumber_(*nextNumber) {}
  void Convert(Conversions* conversions, ListingFolder kind, const std::string& folder,
               Unmeasured* unmeasured) {
    conversions_ = conversions;
    kind_ = kind;
    base_ = NativePath(folder) + "/";
    unmeasured_ = unmeasured;
  }

  WalkEnd end() const { return end_; }
  int64_t listed() const { return listed_; }

  bool Stopped() override {
    if (run_.stopping()) end_ = WalkEnd::kStopped;
    return end_ == WalkEnd::kStopped;
  }

  bool Listed(const ListedEntry& entry) override {
    // An entry that vanished since the walk found it still gets a well-formed record.
    uint16_t mode = kUnreadableEntryMode;
    uint32_t size = 0;
    if (entry.attributesRead) {
      mode = ModeWord(entry.attributes.isFolder, entry.attributes.readOnly);
      size = static_cast<uint32_t>(entry.attributes.size);  // the low 32 bits, as adapters expect
      if (conversions_ && !entry.attributes.isFolder &&
          (entry.ending.converted || kind_ != ListingFolder::kAudio) &&
          !ConvertedSize(entry, &size)) {
        return true;  // it cannot be played
      }
    }
    int32_t number;
    if (!TakeNumber(&number)) return false;
    uint8_t record[kListingRecordSize];
    WriteListingRecord(number, entry.name, mode, size, record);
    if (!records_.Add(record, sizeof record)) return Lost();
    ++listed_;
    return true;
  }

  bool Refused(std::string_view path) override {
    int32_t number;
    if (!TakeNumber(&number)) return false;  // also used up by an entry refused
    // Logged only once the records before it are out, as when each went out on its own.
    if (!records_.Flush()) return Lost();
    AppendLog(Format("System Warming 3003! FileName :: %.*s .", static_cast<int>(path.size()),
                     path.data()));
    return true;
  }

 private:
  bool TakeNumber(int32_t* number) {
    if (nextNumber_ > kLargestEntryNumber) {
      end_ = WalkEnd::kNumbersUsedUp;
      return false;
    }
    *number = nextNumber_;
    nextNumber_ += 4;
    return true;
  }
  bool Lost() {
    end_ = WalkEnd::kConnectionLost;
    return false;
  }
  // The converted length into *size; false when it cannot be played.
  bool ConvertedSize(const ListedEntry& entry, uint32_t* size) {
    path_.assign(base_).append(entry.path);
    const EntryAttributes& a = entry.attributes;
    const SourceStamp stamp{static_cast<int64_t>(a.size), a.mtimeNs, a.ctimeNs, a.device, a.inode};
    const PhotoBox box = BoxOf(run_.settings().library.photoSize);
    const VideoStandard standard = StandardOf(run_.settings().library.videoStandard);
    ListedLength listed;
    std::vector<std::string>* unmeasured = &unmeasured_->photos;
    if (kind_ == ListingFolder::kAudio) {
      listed = conversions_->SongLength(
          path_, stamp, entry.path.substr(entry.path.size() - entry.ending.size + 1));
      unmeasured = &unmeasured_->songs;
    } else if (kind_ == ListingFolder::kVideo) {
      // One the adapter may play as it is, listed so, is only checked.
      listed = entry.ending.converted ? conversions_->VideoLength(path_, stamp, standard)
                                      : ListedLength{ListedLength::Kind::kAsIs, 0, true};
      if (!entry.ending.converted) {
        conversions_->VideoMustConvert(path_, stamp, &listed.measured);
      }
      unmeasured = entry.ending.converted && !IsOwnVideo(entry) ? &unmeasured_->videos
                                                                : &unmeasured_->checkedVideos;
    } else if (entry.ending.converted) {
      listed = conversions_->PhotoLength(path_, stamp, box);
    } else {
      listed = conversions_->JpegLength(path_, stamp, box);
    }
    if (!listed.measured) unmeasured->push_back(path_);
    if (listed.kind == ListedLength::Kind::kUnplayable) return false;
    if (listed.kind != ListedLength::Kind::kAsIs) *size = static_cast<uint32_t>(listed.length);
    return true;
  }

  // A video of the folder's own endings (listed converted once it was measured so).
  static bool IsOwnVideo(const ListedEntry& entry) {
    return EndingOf(ListingFolder::kVideo, entry.path, /*convert=*/false).size != 0;
  }

  BlockBatch& records_;
  const ServerRun& run_;
  int32_t& nextNumber_;
  WalkEnd end_ = WalkEnd::kFolderDone;
  int64_t listed_ = 0;
  Conversions* conversions_ = nullptr;  // none: nothing is converted
  ListingFolder kind_ = ListingFolder::kVideo;
  std::string base_;  // the media folder, "/" behind it
  Unmeasured* unmeasured_ = nullptr;
  std::string path_;  // the entry's server path, while its length is looked up
};

// The records of every folder, then the end block (none when the connection was lost).
void SendRecords(BlockBatch& records, ServerRun& run, const LibraryOptions& options,
                 Conversions* conversions, Unmeasured* unmeasured) {
  int32_t nextNumber = 0;
  for (const FolderToList& folder : kFoldersInOrder) {
    CheckMediaFolder(run.settings(), folder.path);  // a missing folder lists as empty
    RecordSender sender(records, run, &nextNumber);
    const std::string path = PathText(run.settings().*folder.path);
    if (conversions) sender.Convert(conversions, folder.folder, path, unmeasured);
    const MeasuredVideoCheck check(conversions, path);
    ListMediaFolder(options, folder.folder, path, sender,
                    folder.folder == ListingFolder::kVideo ? &check : nullptr);
    if (sender.end() == WalkEnd::kFolderDone) NoteFolderListed(folder.path, sender.listed());
    // Nothing more can reach an adapter whose connection failed, not even the end block.
    if (sender.end() == WalkEnd::kConnectionLost) return;
    // Stopped, or the next number would not fit its field: the end block closes the list.
    if (sender.end() != WalkEnd::kFolderDone) break;
  }
  uint8_t endOfList[kEndOfListSize];
  WriteEndOfList(endOfList);
  if (records.Add(endOfList, sizeof endOfList)) records.Flush();
}

}  // namespace

void SendMediaListing(const Socket& socket, ServerRun& run) {
  BlockBatch records(socket);
  const std::shared_ptr<Conversions> conversions = ConversionsFor(run.settings().library);
  LibraryOptions options = run.settings().library;
  options.convert = conversions != nullptr;
  Unmeasured unmeasured;
  SendRecords(records, run, options, conversions.get(), &unmeasured);
  if (!conversions || unmeasured.empty()) return;
  // Measured in the background once the listing is out, while the run lasts.
  conversions->MeasureSoon(std::move(unmeasured), [run = run.weak_from_this()] {
    const std::shared_ptr<ServerRun> locked = run.lock();
    return !locked || locked->stopping();
  });
}

}  // namespace rureza
