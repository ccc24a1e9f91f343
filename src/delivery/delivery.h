// The delivery routines: everything sent in answer to a request. Each runs on the client thread
// that read the request, writes its whole reply to the request connection and returns; none of
// them closes the connection (the dispatcher does).
#pragma once

#include "delivery/media_path.h"
#include "platform/socket.h"

namespace rureza {

class ServerRun;

// "<1": the records of every playable file in the three media folders, then the end block.
void SendMediaListing(const Socket& socket, ServerRun& run);
// "<31": an MP3 file, steered over the control port.
void SendAudioStream(const Socket& socket, ServerRun& run, const MediaPath& path);
// "<32": an AVI file after its handshake, fast forward and backward over the control port.
void SendAviStream(const Socket& socket, ServerRun& run, const MediaPath& path);
// "<33": a photo, whole.
void SendStillImage(const Socket& socket, ServerRun& run, const MediaPath& path);
// "<34": an MPEG file at its fixed pace, backward over the control port.
void SendMpegStream(const Socket& socket, ServerRun& run, const MediaPath& path);
// "<7": the firmware image, held exclusively while it is sent.
void SendFirmwareImage(const Socket& socket, ServerRun& run, const MediaPath& path);

}  // namespace rureza
