#include <cstring>
#include <string>
#include <string_view>

#include "delivery/delivery.h"
#include "delivery/listing_record.h"
#include "platform/directory.h"
#include "server/activity_log.h"
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

// Sends a record for every entry of one folder that the folder lists, as it is found (a batch
// of records to a system call): the reply flows while the walk goes on, and nothing per entry
// is allocated (the name comes from the walk and the attributes are read relative to the open
// folder).
WalkEnd ListFolder(BlockBatch& records, const ServerRun& run, const FolderToList& folder,
                   int32_t* nextNumber) {
  DirectoryWalk walk;
  // A folder that cannot be searched contributes nothing and logs nothing.
  if (!walk.Open(PathText(run.settings().*folder.path))) return WalkEnd::kFolderDone;
  while (const char* entry = walk.Next()) {
    if (run.stopping()) return WalkEnd::kStopped;
    std::string_view name(entry, std::strlen(entry));
    if (!EndingBelongsTo(folder.folder, name)) continue;
    if (*nextNumber > kLargestEntryNumber) return WalkEnd::kNumbersUsedUp;
    const int32_t number = *nextNumber;
    *nextNumber += 4;  // also used up by an entry refused below
    if (name.size() >= kListedNameLimit) {
      // Logged only once the records before it are out, as when each went out on its own.
      if (!records.Flush()) return WalkEnd::kConnectionLost;
      AppendLog(Format("System Warming 3003! FileName :: %s .", entry));
      continue;
    }
    // An entry that vanished since the walk found it still gets a well-formed record.
    uint16_t mode = kUnreadableEntryMode;
    uint32_t size = 0;
    EntryAttributes attributes;
    if (walk.Attributes(entry, &attributes)) {
      mode = ModeWord(attributes.isFolder, attributes.readOnly);
      size = static_cast<uint32_t>(attributes.size);  // the low 32 bits, as adapters expect
    }
    uint8_t record[kListingRecordSize];
    WriteListingRecord(number, name, mode, size, record);
    if (!records.Add(record, sizeof record)) return WalkEnd::kConnectionLost;
  }
  return WalkEnd::kFolderDone;
}

}  // namespace

void SendMediaListing(const Socket& socket, ServerRun& run) {
  BlockBatch records(socket);
  int32_t nextNumber = 0;
  for (const FolderToList& folder : kFoldersInOrder) {
    WalkEnd end = ListFolder(records, run, folder, &nextNumber);
    // Nothing more can reach an adapter whose connection failed, not even the end block.
    if (end == WalkEnd::kConnectionLost) return;
    // Stopped, or the next number would not fit its field: the end block closes the list.
    if (end != WalkEnd::kFolderDone) break;
  }
  uint8_t endOfList[kEndOfListSize];
  WriteEndOfList(endOfList);
  if (records.Add(endOfList, sizeof endOfList)) records.Flush();
}

}  // namespace rureza
