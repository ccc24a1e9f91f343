#include <cstring>
#include <string>
#include <string_view>

#include "delivery/delivery.h"
#include "delivery/listing_record.h"
#include "names/adapter_names.h"
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

// Sends a record for every entry the name layer lists, as it is found (a batch of records to a
// system call): the reply flows while the walk goes on, and nothing per entry is allocated.
class RecordSender : public ListingSink {
 public:
  RecordSender(BlockBatch& records, const ServerRun& run, int32_t* nextNumber)
      : records_(records), run_(run), nextNumber_(*nextNumber) {}

  WalkEnd end() const { return end_; }

  bool Stopped() override {
    if (run_.stopping()) end_ = WalkEnd::kStopped;
    return end_ == WalkEnd::kStopped;
  }

  bool Listed(const ListedEntry& entry) override {
    int32_t number;
    if (!TakeNumber(&number)) return false;
    // An entry that vanished since the walk found it still gets a well-formed record.
    uint16_t mode = kUnreadableEntryMode;
    uint32_t size = 0;
    if (entry.attributesRead) {
      mode = ModeWord(entry.attributes.isFolder, entry.attributes.readOnly);
      size = static_cast<uint32_t>(entry.attributes.size);  // the low 32 bits, as adapters expect
    }
    uint8_t record[kListingRecordSize];
    WriteListingRecord(number, entry.name, mode, size, record);
    if (!records_.Add(record, sizeof record)) return Lost();
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

  BlockBatch& records_;
  const ServerRun& run_;
  int32_t& nextNumber_;
  WalkEnd end_ = WalkEnd::kFolderDone;
};

}  // namespace

void SendMediaListing(const Socket& socket, ServerRun& run) {
  BlockBatch records(socket);
  int32_t nextNumber = 0;
  for (const FolderToList& folder : kFoldersInOrder) {
    CheckMediaFolder(run.settings(), folder.path);  // a missing folder lists as empty
    RecordSender sender(records, run, &nextNumber);
    ListMediaFolder(run.settings().library, folder.folder, PathText(run.settings().*folder.path),
                    sender);
    // Nothing more can reach an adapter whose connection failed, not even the end block.
    if (sender.end() == WalkEnd::kConnectionLost) return;
    // Stopped, or the next number would not fit its field: the end block closes the list.
    if (sender.end() != WalkEnd::kFolderDone) break;
  }
  uint8_t endOfList[kEndOfListSize];
  WriteEndOfList(endOfList);
  if (records.Add(endOfList, sizeof endOfList)) records.Flush();
}

}  // namespace rureza
