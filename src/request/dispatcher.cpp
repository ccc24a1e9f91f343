#include "request/dispatcher.h"

#include <atomic>
#include <cstring>

#include "conversion/process_conversions.h"
#include "delivery/delivery.h"
#include "names/adapter_names.h"
#include "platform/file.h"
#include "server/activity_log.h"
#include "server/client_activity.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

struct PlayRoute {
  const char* firstLine;
  void (*deliver)(const Socket&, ServerRun&, const MediaPath&);
  ClientDoing doing;
};

const PlayRoute* RouteFor(char mediaType) {
  static const PlayRoute kRoutes[] = {
      {"%s requests to play a MP3 file ::", SendAudioStream, ClientDoing::kMp3},
      {"%s requests to play a AVI file ::", SendAviStream, ClientDoing::kAvi},
      {"%s requests to play a JPEG file ::", SendStillImage, ClientDoing::kPhoto},
      {"%s requests to play a MPEG file ::", SendMpegStream, ClientDoing::kMpeg},
  };
  if (mediaType < '1' || mediaType > '4') return nullptr;
  return &kRoutes[mediaType - '1'];
}

}  // namespace

AdapterRequest ParseRequestBlock(const uint8_t (&block)[kRequestBlockSize]) {
  AdapterRequest request;
  if (block[0] != '<') return request;
  switch (block[1]) {
    case '1':
      request.kind = AdapterRequest::Kind::kList;
      break;
    case '7':
      request.kind = AdapterRequest::Kind::kFirmware;
      break;
    case '3': {
      request.mediaType = static_cast<char>(block[2]);
      if (!RouteFor(request.mediaType)) {
        request.kind = AdapterRequest::Kind::kUnknownFormat;
        break;
      }
      request.kind = AdapterRequest::Kind::kPlay;
      // Only one "./" in front of the name is dropped.
      size_t start = (block[3] == '.' && block[4] == '/') ? 5 : 3;
      const char* name = reinterpret_cast<const char*>(block) + start;
      size_t room = kRequestBlockSize - start;
      const void* end = std::memchr(name, 0, room);
      request.name.assign(name, end ? static_cast<const char*>(end) - name : room);
      break;
    }
    default:
      request.kind = AdapterRequest::Kind::kUnknownCommand;
      break;
  }
  return request;
}

std::string MediaFolder(const ServerSettings& settings, char mediaType) {
  switch (mediaType) {
    case '1':
      return PathText(settings.audioFolder);
    case '2':
    case '4':
      return PathText(settings.videoFolder);
    case '3':
      return PathText(settings.photoFolder);
    default:
      return {};
  }
}

MediaPath PlayPath(const ServerSettings& settings, char mediaType, const std::string& name) {
  const std::string folder = MediaFolder(settings, mediaType);
  const ListingFolder kind = mediaType == '1'   ? ListingFolder::kAudio
                             : mediaType == '3' ? ListingFolder::kPhoto
                                                : ListingFolder::kVideo;
  LibraryOptions options = settings.library;
  const std::shared_ptr<Conversions> conversions = ConversionsFor(options);
  options.convert = conversions != nullptr;
  const MeasuredVideoCheck check(conversions.get(), folder);
  const PlayName play = ResolvePlayName(options, kind, folder, name,
                                        kind == ListingFolder::kVideo ? &check : nullptr);
  MediaPath path;
  path.text = folder + "\\" + play.shown;
  path.open = NativePath(folder) + "/" + play.relative;
  path.servable = play.listable;
  path.converted = play.converted;
  if (play.mustStayInside && path.servable) {
    path.insideOf = RealPath(NativePath(folder));
    path.servable = !path.insideOf.empty();
  }
  return path;
}

void ServeClient(ServerRun& run, Socket connection, const sockaddr_in& peer) {
  const std::string address = AddressText(peer);
  ClientActivityScope activity(address);
  AppendLog(Format("New connection from %s", address.c_str()));

  run.WatchConnection(&connection);
  uint8_t block[kRequestBlockSize] = {};
  run.RegisterPendingRequest(&connection);
  // What arrived is interpreted even when the block is incomplete (zero bytes after it).
  ReceiveAllWithin(connection, block, sizeof block, RequestTimeLimitMs());
  run.UnregisterPendingRequest(&connection);

  AdapterRequest request = ParseRequestBlock(block);
  switch (request.kind) {
    case AdapterRequest::Kind::kNone:
      NoteClientDoing(ClientDoing::kOther);
      break;
    case AdapterRequest::Kind::kList:
      AppendLog(Format("%s requests to list files", address.c_str()));
      NoteClientDoing(ClientDoing::kListing);
      SendMediaListing(connection, run);
      break;
    case AdapterRequest::Kind::kPlay: {
      const PlayRoute* route = RouteFor(request.mediaType);
      MediaPath path = PlayPath(run.settings(), request.mediaType, request.name);
      AppendLogUncounted(Format(route->firstLine, address.c_str()));
      AppendLog(path.text);
      NoteClientDoing(route->doing, path.text);
      route->deliver(connection, run, path);
      break;
    }
    case AdapterRequest::Kind::kFirmware:
      AppendLog(Format("%s requests to upgrade the flash", address.c_str()));
      NoteClientDoing(ClientDoing::kFirmware, PathText(run.settings().firmwareFile));
      SendFirmwareImage(connection, run, MediaPath{PathText(run.settings().firmwareFile), true});
      break;
    case AdapterRequest::Kind::kUnknownCommand:
      AppendLog("Unknown command");
      NoteClientDoing(ClientDoing::kOther);
      break;
    case AdapterRequest::Kind::kUnknownFormat:
      AppendLog("Unknown format");
      NoteClientDoing(ClientDoing::kOther);
      break;
  }

  run.UnwatchConnection(&connection);
  DiscardPendingInput(connection);
  connection.Shutdown();
  connection.Close();
  AppendLog(Format("%s is leaving......", address.c_str()));
}

}  // namespace rureza
