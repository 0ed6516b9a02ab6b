// Seams of the RTSP stream sources towards components that are wired in by
// their own parts of the library: the media sinks (decoder with display
// thread, sound thread), the device event receiver, the channel-server query
// and the recorder. Each is a process-wide factory; without one installed the
// source runs without that component, so the stream still reaches the
// conduits.
//
// Factories are installed at static-initialisation time or by tests before a
// client starts; the registries are guarded by a lock and may be swapped at
// any time (a running source keeps what it created).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace quornet {

class CClientSession;
class CIConduit;
class CRtspSession;

// Decoder, display thread and sound thread of one source.
class IMediaSinks {
 public:
  virtual ~IMediaSinks() = default;
  // Opens the decoder for the session's video payload code and starts the
  // display and sound threads. False: nothing is left running.
  virtual bool Start() = 0;
  // Stops the display thread (closing the decoder) and the sound thread.
  // Safe to call when not started.
  virtual void Stop() = 0;
};
using MediaSinksFactory = std::function<std::unique_ptr<IMediaSinks>(
    CClientSession& session, CIConduit* video, CIConduit* audio)>;
MediaSinksFactory RegisterMediaSinksFactory(MediaSinksFactory factory);
std::unique_ptr<IMediaSinks> CreateMediaSinks(CClientSession& session, CIConduit* video,
                                              CIConduit* audio);

// The device event channel opened beside the stream (server kinds 0 and 1).
class IDeviceEventReceiver {
 public:
  virtual ~IDeviceEventReceiver() = default;
  virtual bool Connect() = 0;
  // Starts the receiver thread; false when it did not start.
  virtual bool Start() = 0;
  // Stops the thread (closing its socket); safe when not started.
  virtual void Stop() = 0;
};
using DeviceEventReceiverFactory = std::function<std::unique_ptr<IDeviceEventReceiver>(
    CClientSession& session, CRtspSession& rtsp)>;
DeviceEventReceiverFactory RegisterDeviceEventReceiverFactory(DeviceEventReceiverFactory factory);
std::unique_ptr<IDeviceEventReceiver> CreateDeviceEventReceiver(CClientSession& session,
                                                                CRtspSession& rtsp);

// Channel-server lookup before connecting (sessions started with the channel
// server flag). Result: the channel (> 0), 0 when the server has none, < 0 on
// failure. Without a query installed the lookup fails (-1).
using ChannelServerQuery = std::function<int32_t(CClientSession& session)>;
ChannelServerQuery RegisterChannelServerQuery(ChannelServerQuery query);
int32_t QueryChannelServer(CClientSession& session);

// Receives every frame a source hands over, for the record files.
// Called on the receiving threads; implementations carry their own locks.
class IStreamRecorder {
 public:
  virtual ~IStreamRecorder() = default;
  // A key frame starts (SPS, or a complete JPEG picture): record files that
  // are waiting for their header write it now.
  virtual void OnKeyFrameStart() = 0;
  // block: kRecordFrameHeaderSize reserved bytes, then the picture
  // (picture_size bytes); the recorder may fill the reserved bytes.
  virtual void OnVideoFrame(uint8_t* block, uint32_t picture_size, int frame_type) = 0;
  // payload is preceded by at least 4 writable bytes (voice-frame header).
  virtual void OnAudioFrame(uint8_t* payload, uint32_t size) = 0;
  // Closes the normal record (reporting (6, 4)) and the alarm record when
  // they run: the stream format changed, or the stream was away too long.
  virtual void StopForFormatChange() = 0;
  // Stops both records on a source stop.
  virtual void StopAll() = 0;
};
using StreamRecorderFactory = std::function<std::unique_ptr<IStreamRecorder>(CClientSession&)>;
StreamRecorderFactory RegisterStreamRecorderFactory(StreamRecorderFactory factory);
std::unique_ptr<IStreamRecorder> CreateStreamRecorder(CClientSession& session);

}  // namespace quornet
