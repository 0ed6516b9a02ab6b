/*
 * quornet.h: the C interface of libquornet, the network client library for IP
 * cameras and network video recorders.
 *
 * Conventions
 *
 *   Handles. A client handle is a non-zero 32-bit id issued by the start
 *   functions (QRNET_ClientStart and its siblings); 0 means "no client". The
 *   handle stays valid until QRNET_ClientStop returns. Every function taking a
 *   handle looks it up first: for 0, for an id that was never issued and for
 *   the id of a client already stopped it does nothing and returns its
 *   failure value. Ids are not reused soon after a stop, so a stale handle
 *   never reaches another client's session.
 *
 *   Results. Most functions return 1 for success and 0 for failure. Where a
 *   function states another failure value (0xFFFF from QRNET_GetClientState,
 *   -1 from QRNET_GetLiveViewPerformance) that value is returned for an
 *   invalid handle. No C++ exception ever leaves a function of this header.
 *
 *   Texts are UTF-8 and are copied into fixed-size fields; a text must be
 *   terminated within its field.
 *
 *   Threads. Any thread may call any function. Starting and stopping one
 *   client must not race with other calls on the same handle from the
 *   application's side; the library tolerates it (the stopped handle simply
 *   becomes invalid) but the results of the racing calls are unspecified.
 *
 *   Notifications. Asynchronous reports are pairs (kind, value) about one
 *   client. When a status callback was given to QRNET_Startup, it is called on
 *   one of the library's worker threads with (handle, kind, value, user
 *   value); an exception it throws is swallowed. Without a callback the
 *   library posts the client's notification message to the client's
 *   notification window (platform window registry), wParam = kind,
 *   lParam = value, which the window's owner receives on its own thread.
 *   Without a window nothing is reported.
 *
 *   A status callback runs on a thread of the reporting client. It must return
 *   promptly and must not call QRNET_ClientStop (or QRNET_Cleanup) for that
 *   client: stop waits for the very thread the callback runs on. It may read
 *   state (QRNET_GetClientState) and change per-client settings.
 *
 *   Video codec (kind 9): the stream's video cannot be decoded (value 255);
 *   see QRNET_ClientGetVideoCodec.
 *
 *   Link state (kind 1): 0 running, 1 connecting (also right after start),
 *   3 the stream broke, 4 waiting for the next attempt, 5 given up, 6
 *   credentials refused, 7 channel-server query failed, 8 channel-server
 *   answered channel 0.
 */
#ifndef QUORNET_H_
#define QUORNET_H_

#include <stddef.h>
#include <stdint.h>

/* The library is built with hidden symbols; only what this macro marks is
 * exported. */
#define QRNET_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define QRNET_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define QRNET_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Transport values of QRNET_ClientParam.transport. */
#define QRNET_TRANSPORT_RTSP_UDP 0 /* RTSP, RTP over UDP */
#define QRNET_TRANSPORT_RTSP_TCP 1 /* RTSP, RTP interleaved on the RTSP connection */
#define QRNET_TRANSPORT_UDP 2      /* private UDP stream */

/* Failure values for an invalid handle where they are not 0. */
#define QRNET_INVALID_STATE 0xFFFF

/*
 * The record that opens a client: 308 bytes, little-endian, no padding. The
 * library copies it; the caller's record may be reused after the start call.
 */
#pragma pack(push, 1)
typedef struct QRNET_ClientParam {
  uint16_t transport;            /*   0: QRNET_TRANSPORT_*; other values fail the start */
  uint16_t view_flag;            /*   2: 1 = decode and draw */
  int32_t channel;               /*   4: stream number on the device */
  uint32_t video_window;         /*   8: window id the picture is drawn into */
  uint32_t notify_window;        /*  12: window id for notification messages; 0 = none */
  uint32_t notify_message;       /*  16: message number posted to notify_window */
  uint8_t stream_option;         /*  20: 1 = no YV12 surface in video memory first */
  uint8_t reserved0[3];          /*  21: zero */
  int32_t nvr_manager_port;      /*  24: NVR HTTP management port; 0 = none */
  int32_t live_view_performance; /*  28: buffering latency in ms; -1 = automatic */
  uint8_t reserved1[12];         /*  32: zero */
  int32_t user_value;            /*  44: handed back as 4th status callback argument */
  char address[161];             /*  48: "host[:port][/path]", port 554 by default;
                                    or "rtsp://[user:pass@]host[:port]/path" for any
                                    standard RTSP server (channel not used) */
  char user[33];                 /* 209: user name */
  char password[64];             /* 242: password */
  uint8_t reserved2[2];          /* 306: zero */
} QRNET_ClientParam;

/* Output record of QRNET_GetClientParam: 12 bytes. */
typedef struct QRNET_ClientOutput {
  uint16_t width;        /* 0: picture width in pixels */
  uint16_t height;       /* 2: picture height in pixels */
  uint16_t frame_rate;   /* 4: frames per second */
  uint8_t video_payload; /* 6: 96 H.264, 26 JPEG, 98 H.265 */
  uint8_t audio_codec;   /* 7: 0 PCM, 1 A-law, 2 mu-law, 4..7 G.726, 8 AAC, 255 none */
  int32_t bit_rate;      /* 8: announced bit rate in kbit/s times 1024 */
} QRNET_ClientOutput;
#pragma pack(pop)

QRNET_STATIC_ASSERT(sizeof(QRNET_ClientParam) == 308, "client parameter record is 308 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientParam, stream_option) == 20, "offset 20");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientParam, nvr_manager_port) == 24, "offset 24");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientParam, user_value) == 44, "offset 44");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientParam, address) == 48, "offset 48");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientParam, user) == 209, "offset 209");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientParam, password) == 242, "offset 242");
QRNET_STATIC_ASSERT(sizeof(QRNET_ClientOutput) == 12, "client output record is 12 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_ClientOutput, bit_rate) == 8, "offset 8");

/*
 * Status callback: (client handle, kind, value, user value of the client's
 * record). Runs on a library worker thread; see "Notifications" above.
 */
typedef void (*QRNET_StatusCallback)(uint32_t handle, int32_t kind, int32_t value,
                                     int32_t user_value);

/* ---- Process level ---------------------------------------------------- */

/*
 * Sets up process-wide state; may be called any number of times (each control
 * instance calls it). Each argument is stored only while its slot is still
 * empty, so the first non-zero status callback stays. Slots 1, 2 and 4 are
 * stored and not used. Returns 1.
 */
QRNET_API int32_t QRNET_Startup(uint32_t slot1, uint32_t slot2,
                                QRNET_StatusCallback status_callback, uint32_t slot4);
/* Ends process-wide use; stop every client first. */
QRNET_API void QRNET_Cleanup(void);
/*
 * Connect timeout (s; <= 0 becomes 5), reconnect attempts (-1 = without limit;
 * other negative values become 1) and reconnect pause (s; < 0 becomes 10).
 * Returns 1.
 */
QRNET_API int32_t QRNET_SetWaitTime(int32_t connect_timeout_s, int32_t reconnect_attempts,
                                    int32_t reconnect_pause_s);
/* Writes to the library's log stream when one is open (normally none); returns
 * the characters written, or 0. */
QRNET_API int32_t QRNET_Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* ---- Client lifecycle ------------------------------------------------- */

/*
 * Starts a client: builds the session and starts its connection thread, then
 * returns at once (the connection runs in the background; watch link state).
 * Returns the handle, or 0 when any step failed (nothing is left behind).
 */
QRNET_API uint32_t QRNET_ClientStart(const QRNET_ClientParam* param);
/* As QRNET_ClientStart; the source asks the channel server for
 * server_channel before connecting when server_flag is 1. */
QRNET_API uint32_t QRNET_ClientStart_Trans(const QRNET_ClientParam* param, int32_t server_channel,
                                           int32_t server_flag);
/*
 * Stops the client and frees everything it holds; the handle is invalid
 * afterwards. Never call it from a status callback of the same client.
 * Returns 1; 0 for an invalid handle.
 */
QRNET_API int32_t QRNET_ClientStop(uint32_t handle);
/*
 * Starts an NVR replay over RTSP from start_time (at most 18 characters, the
 * recorder's "stime" text) at speed 2^speed_exponent (-4..4; other values play
 * at normal speed). Returns the handle like QRNET_ClientStart; 0 also for a
 * missing or over-long start time.
 */
QRNET_API uint32_t QRNET_ClientNVRReplay(const QRNET_ClientParam* param, const char* start_time,
                                         int32_t speed_exponent);

/* ---- Per-client state ------------------------------------------------- */

/* Link state (see above); 0xFFFF for an invalid handle. */
QRNET_API int32_t QRNET_GetClientState(uint32_t handle);
/* Fills *out; returns 1, 0 for an invalid handle or a null pointer. */
QRNET_API int32_t QRNET_GetClientParam(uint32_t handle, QRNET_ClientOutput* out);
/* View flag := 1. Returns 1. */
QRNET_API int32_t QRNET_ClientStartView(uint32_t handle);
/* View flag := 0, then waits until the picture being drawn is finished.
 * Returns 1. Never call it from a status callback. */
QRNET_API int32_t QRNET_ClientStopView(uint32_t handle);
/*
 * automatic == 0: the stored live-view performance (ms). Otherwise the value
 * the automatic setting would choose for the current bit rate (300, 500, 750,
 * 1100 or 1500; -1 while the frame rate is 0). -1 for an invalid handle.
 */
QRNET_API int32_t QRNET_GetLiveViewPerformance(uint32_t handle, int32_t automatic);
/* Audio on. Returns 1. */
QRNET_API int32_t QRNET_ClientPlayAudio(uint32_t handle);
/* Audio off; queued audio is dropped. Returns 1. */
QRNET_API int32_t QRNET_ClientStopAudio(uint32_t handle);
/*
 * Playback speed 2^speed_exponent, -4..4 (other values: 0, nothing changes).
 * For an NVR replay the device is asked to pause and play at the new scale.
 * Returns 1; 0 for an invalid handle or exponent.
 */
QRNET_API int32_t QRNET_SetSpeed(uint32_t handle, int32_t speed_exponent);

/* ---- Display and live-view buffering ---------------------------------- */

/*
 * Live-view buffering: value > 0 stores it (ms) and keeps value / frame
 * period frames queued before showing; value < 0 selects the automatic value
 * for the current bit rate (see QRNET_GetLiveViewPerformance); 0 shows in real
 * time. With a frame rate of 0 the value 0 is stored.
 */
QRNET_API void QRNET_SetLiveViewPerformance(uint32_t handle, int32_t value);
/* Restore-frame count (frames held queued before showing; 0 = real time).
 * Returns the handle; 0 for an invalid handle. */
QRNET_API uint32_t QRNET_SetRestoreFrame(uint32_t handle, int32_t count);
/* *bit_rate_kbps: received video bit rate in kbit/s where the transport
 * measures it, else 0; *second: always 0. Either may be null. Returns 1. */
QRNET_API int32_t QRNET_GetBitStreamInfo(uint32_t handle, int32_t* bit_rate_kbps, int32_t* second);
/*
 * Gives the client a new video window (0 detaches the video); the next
 * picture re-creates the drawing surfaces. Always returns 1.
 */
QRNET_API int32_t QRNET_ClientSetWnd(uint32_t handle, uint32_t window);
/* Presents the last picture again with a fresh on-screen display. 0 for an
 * invalid handle, a stopped view or when no picture was drawn yet; else 1. */
QRNET_API int32_t QRNET_ClientRefreshWnd(uint32_t handle);
/* Motion-region display: bit 0 all regions, bit 1 regions in alarm (red for
 * 3 s after their last motion report). Returns 1. */
QRNET_API int32_t QRNET_ClientShowMDRegion(uint32_t handle, int32_t flags);
/* Draw the picture upside down (flag 1). Returns the handle. */
QRNET_API uint32_t QRNET_ClientVerticalFlip(uint32_t handle, int32_t flag);
/* Stored only; the picture is not rotated. Returns the handle. */
QRNET_API uint32_t QRNET_ClientRotate180(uint32_t handle, int32_t flag);
/* Stored only. Returns the handle. */
QRNET_API uint32_t QRNET_SetVertBlank(uint32_t handle, int32_t value);
/* Local rectangle in window pixels, framed in green while width and height
 * are positive. Returns the handle. */
QRNET_API uint32_t QRNET_SetLocalRect(uint32_t handle, int32_t x, int32_t y, int32_t width,
                                      int32_t height);
/* flag 1: show only the inside of the local rectangle, stretched to the
 * window. Returns the handle. */
QRNET_API uint32_t QRNET_ShowLocalRect(uint32_t handle, int32_t flag);
/*
 * Electronic zoom: level += step, 0..38 (per cent cut from each side).
 * Below 0: level 0 and zoom off; above 38: level 38. Returns the new level
 * (0 for an invalid handle).
 */
QRNET_API int32_t QRNET_EptzZoom(uint32_t handle, int32_t step);

/* ---- Callback setters ------------------------------------------------- */

/* Accepted and ignored: the library never delivers frames, pictures or
 * decoded data through callbacks. */
QRNET_API void QRNET_SetAVCallback(void* callback);
QRNET_API void QRNET_SetDecodeCallBack(void* callback);
QRNET_API void QRNET_SetDrawCallback(void* callback);
QRNET_API void QRNET_SetRGBDataCallback(void* callback);
QRNET_API void QRNET_SetCaptureCallBack(void* callback);
/* Stores the pointer (never called) and returns it. */
QRNET_API void* QRNET_SetClipCallback(void* callback);
/* Returns 1; no effect. */
QRNET_API int32_t QRNET_ClientShowcallback(uint32_t handle, int32_t value1, int32_t value2);

/* ---- Inert entries, kept for binary compatibility --------------------- */

QRNET_API int32_t QRNET_ClientReplayStartClip(uint32_t handle, int32_t a2, int32_t a3, int32_t a4,
                                              int32_t a5, int32_t a6); /* returns 0 */
QRNET_API int32_t QRNET_ClientNVRReplayStartClip(uint32_t handle, int32_t a2, int32_t a3,
                                                 int32_t a4, int32_t a5, int32_t a6, int32_t a7,
                                                 int32_t a8, int32_t a9); /* returns 0 */
QRNET_API void QRNET_ClientReplayStopClip(uint32_t handle);
QRNET_API void QRNET_ClientReplayPauseClip(uint32_t handle);
QRNET_API void QRNET_ClientReplayContinueClip(uint32_t handle, int32_t a2, int32_t a3, int32_t a4);
QRNET_API int32_t CreateImage(int32_t a1, int32_t a2, int32_t a3, int32_t a4); /* returns 0 */
QRNET_API int32_t CreateRGBImage(int32_t a1, int32_t a2, int32_t a3);          /* returns 0 */
QRNET_API int32_t LoadImage2(int32_t a1, int32_t a2);                          /* returns 0 */
QRNET_API void Draw(int32_t a1, int32_t a2);
QRNET_API void DrawImage(int32_t a1, int32_t a2, int32_t a3);
QRNET_API void DrawRGBImage(int32_t a1);
QRNET_API void ReleaseImage(int32_t a1);

/* ---- Device control (MCTP/1.0 commands) ------------------------------ */

/*
 * Motion-region record: 272 bytes, one sensitivity byte per region, then the
 * region rectangles in the 704 x 576 reference frame. Regions 0 to 15.
 */
#pragma pack(push, 1)
typedef struct QRNET_MDRect {
  int32_t left, top, right, bottom;
} QRNET_MDRect;
typedef struct QRNET_MDInfo {
  uint8_t sensitivity[16]; /*  0 */
  QRNET_MDRect rect[16];   /* 16 */
} QRNET_MDInfo;
#pragma pack(pop)
QRNET_STATIC_ASSERT(sizeof(QRNET_MDInfo) == 272, "motion-region record is 272 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_MDInfo, rect) == 16, "offset 16");

/*
 * Each call opens its own TCP connection to the client's device host and port,
 * sends one command, reads at most one reply and closes; nothing is retried.
 * They block the calling thread for at most their time-outs (PTZ about 2 s,
 * the others about 9 s). Results: 1 success, 0 failure (invalid handle,
 * connection failure, a reply that is missing, malformed or reports failure).
 * Clients on QRNET_TRANSPORT_UDP have no command channel: the PTZ, picture,
 * alarm and motion calls return 0 at once for them.
 */
/* Pan-tilt-zoom: code and speed are passed to the device unchanged. */
QRNET_API int32_t QRNET_ClientPTZCtrl(uint32_t handle, int32_t code, int32_t speed);
/* Reads brightness, contrast and saturation (0..255); outputs may be null. */
QRNET_API int32_t QRNET_ClientGetVideoParam(uint32_t handle, uint8_t* brightness, uint8_t* contrast,
                                            uint8_t* saturation);
/* Sets the three values (low byte of each); mode 1 and 2 select the device's
 * operations 3 and 4, any other mode the plain set. */
QRNET_API int32_t QRNET_ClientSetVideoParam(uint32_t handle, int32_t brightness, int32_t contrast,
                                            int32_t saturation, int32_t mode);
/* Acknowledges alarm input `alarm`. */
QRNET_API int32_t QRNET_ClientStopAlarm(uint32_t handle, int32_t alarm);
QRNET_API int32_t QRNET_ClientStartMD(uint32_t handle);
QRNET_API int32_t QRNET_ClientStopMD(uint32_t handle);
/* Reads the 16 regions into *info (untouched on failure) and keeps them in the
 * client for the display. */
QRNET_API int32_t QRNET_ClientGetMDInfo(uint32_t handle, QRNET_MDInfo* info);
/* Saves the 16 regions; on success they are also kept in the client. */
QRNET_API int32_t QRNET_ClientSaveMDInfo(uint32_t handle, const QRNET_MDInfo* info);
/* Privacy cover and 3D positioning: the values are passed through; no reply is
 * awaited. 1 when the command was sent. */
QRNET_API int32_t QRNET_SetCoverPosit(uint32_t handle, int32_t a, int32_t b, int32_t c, int32_t d,
                                      int32_t e, int32_t f);
QRNET_API int32_t QRNET_Set3DPosit(uint32_t handle, int32_t a, int32_t b, int32_t c, int32_t d);

/* ---- NVR events -------------------------------------------------------- */

/*
 * Connects to a recorder's alarm channel (host at most 126 bytes) and keeps it
 * connected, reconnecting after the reconnect pause of QRNET_SetWaitTime.
 * Each alarm report calls the status callback with (returned handle, 7,
 * (type & 0xFF) << 8 | (channel & 0xFF), context); without a status callback
 * reports are dropped (no window message is posted). Returns the receiver's
 * handle, or 0. Never disconnect from inside the status callback.
 */
QRNET_API uint32_t QRNET_ClientNVRConnectAlarm(const char* host, int32_t port, int32_t context);
/* Stops and destroys the receiver; 1, or 0 for an invalid handle. */
QRNET_API int32_t QRNET_ClientNVRDisConnectAlarm(uint32_t handle);

/* ---- NVR HTTP management ----------------------------------------------- */

/*
 * Calls on a recorder's HTTP management port ("/manager?action=..."). Each
 * call opens its own TCP connection (a second one only when the recorder's
 * previous reply could not be delimited), sends its requests, parses the
 * replies into the caller's record and closes. They block the calling thread
 * for at most about 15 s in all, however slowly the recorder answers.
 *
 * Records are fixed-layout, little-endian, without padding. Texts are cut to
 * their field and terminated, except the 8-byte cookie, which holds up to 8
 * characters and is terminated only when shorter. Each list holds at most
 * its QRNET_*_MAX_* entries; further entries of a reply are ignored. Fields
 * marked "not written" keep what the caller put there.
 *
 * Caller texts (user, password, date, start time, preset name, cookie) go
 * into the requests unchanged; a text holding a space, "&" or a control
 * character, or one that makes a request longer than 1024 bytes (request
 * line) or 4096 bytes (whole request), fails the call before anything is
 * sent.
 *
 * Results of the list calls: the number of entries, or
 */
#define QRNET_NVR_REFUSED (-1)        /* no "200 OK", or login refused */
#define QRNET_NVR_USER_NOT_EXIST (-2) /* login refused: unknown user */
#define QRNET_NVR_ALREADY_LOGGED (-3) /* login refused: user already logged in */
#define QRNET_NVR_SEND_FAILED (-4)
#define QRNET_NVR_RECV_FAILED (-5)     /* connection or receive failed */
#define QRNET_NVR_NO_LIST (-7)         /* reply without body or list */
#define QRNET_NVR_RESOLVE_FAILED (-11) /* name resolution (record searches: also connection) */

#define QRNET_NVR_MAX_CAMERAS 128
#define QRNET_NVR_MAX_RECORDS 1024
#define QRNET_NVR_MAX_PRESETS 256
#define QRNET_FILESERVER_MAX_CAMERAS 127 /* the count is a signed byte */

#pragma pack(push, 1)
typedef struct QRNET_NVRChannelEntry {
  uint8_t reserved0[129]; /*   0: not written */
  char address[259];      /* 129: camera address, dotted quad */
  int32_t channel;        /* 388: recorder channel */
} QRNET_NVRChannelEntry;
typedef struct QRNET_NVRChannelList {
  uint8_t reserved0;    /*  0: not written */
  char cookie[8];       /*  1: session cookie stored by the login */
  uint8_t reserved1[3]; /*  9: not written */
  int32_t rtsp_port;    /* 12: recorder RTSP port (554 when not reported) */
  int32_t count;        /* 16: entries */
  QRNET_NVRChannelEntry entry[QRNET_NVR_MAX_CAMERAS]; /* 20 */
} QRNET_NVRChannelList;

typedef struct QRNET_NVRRecordEntry {
  int32_t channel;     /*  0 */
  int32_t type;        /*  4 */
  char begin[15];      /*  8: "YYYYMMDDhhmmss" */
  char end[15];        /* 23 */
  uint8_t reserved[2]; /* 38: not written */
  int32_t lock;        /* 40 */
} QRNET_NVRRecordEntry;
typedef struct QRNET_NVRRecordList {
  uint8_t reserved0;    /*  0: not written */
  char cookie[8];       /*  1: stored by the login; read by the file-server search */
  uint8_t reserved1[3]; /*  9: not written */
  int32_t count;        /* 12: entries */
  QRNET_NVRRecordEntry entry[QRNET_NVR_MAX_RECORDS]; /* 16 */
} QRNET_NVRRecordList;

typedef struct QRNET_NVRPresetEntry {
  int32_t preset; /* 0: preset number */
  char name[128]; /* 4 */
} QRNET_NVRPresetEntry;
typedef struct QRNET_NVRPresetList {
  int32_t count;                                     /*  0: entries */
  char cookie[8];                                    /*  4: stored by the login */
  uint8_t reserved[4];                               /* 12: not written */
  QRNET_NVRPresetEntry entry[QRNET_NVR_MAX_PRESETS]; /* 16 */
} QRNET_NVRPresetList;

typedef struct QRNET_FileServerChannelEntry {
  uint8_t type;    /*   0 */
  char name[131];  /*   1 */
  int32_t channel; /* 132 */
} QRNET_FileServerChannelEntry;
typedef struct QRNET_FileServerChannelList {
  int8_t count;                                                     /* 0: entries */
  uint8_t reserved[3];                                              /* 1: not written */
  QRNET_FileServerChannelEntry entry[QRNET_FILESERVER_MAX_CAMERAS]; /* 4 */
} QRNET_FileServerChannelList;
#pragma pack(pop)

QRNET_STATIC_ASSERT(sizeof(QRNET_NVRChannelEntry) == 392, "camera entry is 392 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRChannelEntry, address) == 129, "offset 129");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRChannelEntry, channel) == 388, "offset 388");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRChannelList, cookie) == 1, "offset 1");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRChannelList, rtsp_port) == 12, "offset 12");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRChannelList, count) == 16, "offset 16");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRChannelList, entry) == 20, "offset 20");
QRNET_STATIC_ASSERT(sizeof(QRNET_NVRRecordEntry) == 44, "record entry is 44 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRRecordEntry, begin) == 8, "offset 8");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRRecordEntry, end) == 23, "offset 23");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRRecordEntry, lock) == 40, "offset 40");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRRecordList, cookie) == 1, "offset 1");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRRecordList, count) == 12, "offset 12");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRRecordList, entry) == 16, "offset 16");
QRNET_STATIC_ASSERT(sizeof(QRNET_NVRPresetEntry) == 132, "preset entry is 132 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRPresetList, cookie) == 4, "offset 4");
QRNET_STATIC_ASSERT(offsetof(QRNET_NVRPresetList, entry) == 16, "offset 16");
QRNET_STATIC_ASSERT(sizeof(QRNET_FileServerChannelEntry) == 136, "file-server entry is 136 bytes");
QRNET_STATIC_ASSERT(offsetof(QRNET_FileServerChannelEntry, name) == 1, "offset 1");
QRNET_STATIC_ASSERT(offsetof(QRNET_FileServerChannelEntry, channel) == 132, "offset 132");
QRNET_STATIC_ASSERT(offsetof(QRNET_FileServerChannelList, entry) == 4, "offset 4");

/*
 * Recorder camera list: logs in first when `login` is non-zero (storing the
 * cookie in list->cookie), else uses list->cookie. A reply asking for
 * authentication is answered by one login and one repeated request. Fills
 * the entries whose address is four numbers (stored in reverse order) and
 * the recorder's RTSP port. Returns the count, 0 when the recorder has no
 * camera, or an error code. `socket_mode` is passed to the socket layer.
 */
QRNET_API int32_t QRNET_ClientNVRGetChannels(const char* host, int32_t port, const char* user,
                                             const char* password, QRNET_NVRChannelList* list,
                                             int32_t socket_mode, int32_t login);
/*
 * Recordings of `date` ("YYYYMMDD") from `start_time` for the channels whose
 * flag is set (flags[i] for channel i + 1; channels up to 4 are always sent,
 * missing ones with 0). Returns the count, 0 when nothing was found, or an
 * error code.
 */
QRNET_API int32_t QRNET_ClientNVRRecordQuery(const char* host, int32_t port, const char* user,
                                             const char* password, int32_t channel_count,
                                             const int32_t* channel_flags, const char* date,
                                             const char* start_time, QRNET_NVRRecordList* list,
                                             int32_t socket_mode, int32_t login);
/* As QRNET_ClientNVRRecordQuery without login, with the cookie in list->cookie. */
QRNET_API int32_t QRNET_ClientFileServerRecordQuery(const char* host, int32_t port,
                                                    int32_t channel_count,
                                                    const int32_t* channel_flags, const char* date,
                                                    const char* start_time,
                                                    QRNET_NVRRecordList* list);
/* File-server camera list: the count (0 when there is none) or an error code. */
QRNET_API int32_t QRNET_ClientFileServerGetChannel(const char* host, int32_t port,
                                                   QRNET_FileServerChannelList* list);
/*
 * PTZ command to recorder channel (client channel / 10) on the client's host
 * and NVR manager port (QRNET_ClientParam.nvr_manager_port), with the 8-byte
 * cookie. 1 when the recorder accepted it; -1 for a refusal or an error
 * reply; -4, -5, -11 as above; 0 for an invalid handle or a client on
 * QRNET_TRANSPORT_UDP. `unused` is ignored.
 */
QRNET_API int32_t QRNET_ClientNVRPTZCtrl(uint32_t handle, int32_t code, int32_t arg2,
                                         const char* cookie, int32_t unused);
/* Presets of `channel` (logging in first when `login` is non-zero). 1 when
 * the list was read, else 0. */
QRNET_API int32_t QRNET_ClientNVRPtzGetPreset(const char* host, int32_t port, int32_t channel,
                                              QRNET_NVRPresetList* list, const char* user,
                                              const char* password, int32_t socket_mode,
                                              int32_t login);
/*
 * Adds a preset (*preset == 0; the recorder's number is stored into
 * *preset) or renames preset *preset. 1 on success, else 0.
 */
QRNET_API int32_t QRNET_ClientNVRPtzSetPreset(const char* host, int32_t port, int32_t channel,
                                              int32_t* preset, const char* name, const char* cookie,
                                              int32_t unused7, int32_t unused8, int32_t socket_mode,
                                              int32_t unused10);
/* Recalls or removes a preset (`command` passed to the recorder). 1 on
 * success, else 0. */
QRNET_API int32_t QRNET_ClientNVRPtzGotoRemovePreset(const char* host, int32_t port,
                                                     int32_t channel, int32_t preset,
                                                     int32_t command, const char* cookie,
                                                     int32_t unused7, int32_t unused8,
                                                     int32_t socket_mode, int32_t unused10);

/* ---- Channel server and alarm outputs ---------------------------------- */

/*
 * Each call opens its own connection, sends its command and reads the reply
 * until it is complete, the peer closes or the time-out strikes (in all at
 * most the sum of its three time-outs). Error codes: */
#define QRNET_CS_RESOLVE_FAILED (-11)
#define QRNET_CS_SOCKET_FAILED (-2)
#define QRNET_CS_CONNECT_FAILED (-3)
#define QRNET_CS_SEND_FAILED (-4)
#define QRNET_CS_RECV_FAILED (-5)
#define QRNET_CS_EMPTY_REPLY (-6) /* update: the first reply was empty */
#define QRNET_CS_NO_KEY (-1)      /* key query: no key in the reply; update: refused */

#define QRNET_CS_CHANNEL_TABLE_SIZE 78408 /* most bytes of a channel table */
#define QRNET_CS_UPDATE_RESULT_SIZE 79208 /* most bytes of an update answer */

/*
 * Key of a device's channel on the channel server (> 0), 0 when the server
 * has none, or an error code. Texts holding a line feed or carriage return
 * are refused with -1 before anything is sent.
 */
QRNET_API int32_t QRNET_QueryServerChannel(const char* server_host, int32_t server_port,
                                           const char* device_host, int32_t device_rtsp_port,
                                           int32_t channel, const char* user, const char* password);
/*
 * Reads the server's channel table into `table` (QRNET_CS_CHANNEL_TABLE_SIZE
 * bytes). Returns its first byte (0..255), or an error code.
 */
QRNET_API int32_t QRNET_ClientGetServerChannels(const char* host, int32_t port, const char* user,
                                                const char* password, void* table);
/*
 * Sends `table` (first 32-bit word n, then n words; n at most
 * (QRNET_CS_CHANNEL_TABLE_SIZE - 4) / 4, else -4 before anything is sent)
 * after the server accepted the update command, and reads its answer into
 * `result` (QRNET_CS_UPDATE_RESULT_SIZE bytes). Returns the answer's first
 * byte (0..255), or an error code.
 */
QRNET_API int32_t QRNET_ClientUpdateServerChannel(const char* host, int32_t port, const char* user,
                                                  const char* password, const void* table,
                                                  void* result);
/*
 * Switches a device's alarm output on or off: through the channel server at
 * host:port (through_server non-zero), or by the device's web interface
 * (port 80 for RTSP port 554, else RTSP port minus 2000; RTSP ports 2000 and
 * below other than 554 have no web port and fail). 1 when the device
 * answered "200 OK"; then, for a valid client handle, the client's
 * alarm-output flag follows (shown as "ALARM" on its picture). 0 on any
 * failure. `handle` may be 0.
 */
QRNET_API int32_t QRNET_ClientStartAlarmOut(uint32_t handle, const char* host, int32_t port,
                                            int32_t channel, const char* user, const char* password,
                                            int32_t through_server);
QRNET_API int32_t QRNET_ClientStopAlarmOut(uint32_t handle, const char* host, int32_t port,
                                           int32_t channel, const char* user, const char* password,
                                           int32_t through_server);

/* ---- Talk (two-way audio) --------------------------------------------- */

/*
 * Opens a talk connection to the client's device (its RTSP host and port,
 * announced with "CMD:TALK"), sends the default capture device's audio in
 * 20 ms packets and, when the device offers its own audio, plays that on the
 * default output. Runs in the background: a lost connection is re-opened at
 * once, a failed connect or a refusal every 10 s, until QRNET_ClientStopTalk
 * or QRNET_ClientStop. A talk already running on the client is stopped first.
 * The codec is G.711 mu-law for devices that announce themselves with the
 * V200 banner, else G.726 32 kbit/s. Returns 1 when the talk thread runs;
 * 0 for an invalid handle, a client on QRNET_TRANSPORT_UDP or a local file.
 */
QRNET_API int32_t QRNET_ClientStartTalk(uint32_t handle);
/*
 * As QRNET_ClientStartTalk with a chosen codec: 1 G.711 A-law, 2 G.711
 * mu-law, 4 to 7 G.726 at 16, 24, 32, 40 kbit/s (code words packed as in
 * RFC 3551); 0 chooses as QRNET_ClientStartTalk does. Other values return 0.
 */
QRNET_API int32_t QRNET_ClientStartTalkEx(uint32_t handle, int32_t voice_type);
/* Stops the client's talk (if any) and returns once its threads are gone;
 * never blocks on the network. */
QRNET_API void QRNET_ClientStopTalk(uint32_t handle);

/* ---- Recording and snapshots ------------------------------------------- */

/*
 * Paths keep their Windows form ("D:\Record\cam1\x.avi", through the
 * platform drive map) or are native; the directory is created when missing.
 * Files start at the stream's next key frame; frames before it are not
 * recorded. Reports go through the notification path, kind 6: 0 record file
 * started (header written), 1 recording stopped (also after a failed write,
 * e.g. a full disk: the file keeps what was written), 2 alarm record started,
 * 3 alarm recording stopped, 4 the segment length was reached or the stream
 * format changed (start the next file), 5 the alarm duration was reached.
 * A status callback may call these functions for the same client.
 */
/* Records into an AVI file (H.264 or Motion JPEG, audio as 16-bit PCM at
 * 8000 Hz, 16000 Hz for AAC); `seconds` > 0 is the segment length. 1 when it
 * runs (also when it was running already: path and length stay), 0 for an
 * invalid handle, an empty path or a file that cannot be created. */
QRNET_API int32_t QRNET_ClientStartRecord(uint32_t handle, const char* path, int32_t seconds);
/* 1 (also when not recording); 0 for an invalid handle. */
QRNET_API int32_t QRNET_ClientStopRecord(uint32_t handle);
/* Records into an alarm record file for `seconds` (0 = until stopped, at
 * most 1800). While one runs, extends it to `seconds` from now (at most
 * 1800 s in all) and returns 1. A file that never got a key frame is
 * deleted when it stops. */
QRNET_API int32_t QRNET_ClientStartAlarmRecord(uint32_t handle, const char* path, int32_t seconds);
/* 1 (also when not alarm recording); 0 for an invalid handle. */
QRNET_API int32_t QRNET_ClientStopAlarmRecord(uint32_t handle);
/* Queues a JPEG snapshot of the next picture shown; the file is written on
 * a library thread shortly after. 1 when queued; 0 for an invalid handle, an
 * empty path, a directory that cannot be made or a client without display. */
QRNET_API int32_t QRNET_ClientCapturePicture(uint32_t handle, const char* path);
/* ---- Local file playback and replay control --------------------------- */

/*
 * Plays a record file (AVI record, alarm record or older record file; path
 * in the drive map's form, at most 259 bytes) into `window`, starting at
 * start_position seconds. The file is recognised and indexed before the call
 * returns; playback then runs on the library's threads with audio off and at
 * normal speed. The end of the file is reported as notification (7, 0); the
 * threads then wait for a seek. Returns the handle, or 0 when the file cannot
 * be read or recognised.
 */
QRNET_API uint32_t QRNET_OpenFile(const char* path, uint32_t window, int32_t start_position);
/* Stops playback and frees the session. 1; 0 for an invalid handle. */
QRNET_API int32_t QRNET_CloseFile(uint32_t handle);
/* Pause (the picture stays and is redrawn) and continue. 1, or 0. */
QRNET_API int32_t QRNET_ReplayPause(uint32_t handle);
QRNET_API int32_t QRNET_ReplayContinue(uint32_t handle);
/*
 * Seeks to `seconds` (capped to 0..total time): AVI record files from the
 * last key frame at or before it, the other kinds from the first key frame at
 * or after it (the last key frame when there is none after it). While paused,
 * exactly one picture from the new position is shown. 0 for an invalid handle
 * or a session without a total time (NVR replays); else 1.
 */
QRNET_API int32_t QRNET_ReplaySeek(uint32_t handle, int32_t seconds);
/* Position and length in seconds; 0 for an invalid handle. */
QRNET_API int32_t QRNET_ReplayCurTime(uint32_t handle);
QRNET_API int32_t QRNET_ReplayTotalTime(uint32_t handle);
/*
 * Single step: (1, 0) enters single-step state (saving the play state) and
 * shows the next picture; (1, 1) shows one more picture; (0, any) returns to
 * the saved play state. 1, or 0 for an invalid handle.
 */
QRNET_API int32_t QRNET_ReplayStepByStep(uint32_t handle, int32_t enable, int32_t next);
/* Speed exponent (-4..4, speed 2^exponent); 0 for an invalid handle. At any
 * speed but normal no audio is played. */
QRNET_API int32_t QRNET_GetSpeed(uint32_t handle);
/* One step slower / faster (like QRNET_SetSpeed); 0 at -4 / 4. */
QRNET_API int32_t QRNET_SpeedSlow(uint32_t handle);
QRNET_API int32_t QRNET_SpeedFast(uint32_t handle);
/* Speed exponent 0. 1, or 0 for an invalid handle. */
QRNET_API int32_t QRNET_SpeedNormal(uint32_t handle);
/* NVR replay: QRNET_SetSpeed under its replay name. */
QRNET_API int32_t QRNET_ClientNVRReplaySpeed(uint32_t handle, int32_t speed_exponent);
/* NVR replay: pause (flag != 0; the recorder is asked to pause) or play. */
QRNET_API int32_t QRNET_ClientNVRReplayPause(uint32_t handle, int32_t pause);
/* NVR replay: single-step state and one more picture (from the step cache). */
QRNET_API int32_t QRNET_ClientNVRReplayStepByStep(uint32_t handle);
/*
 * NVR replay: the start-time text (at most 18 characters) that the next
 * in-session requests name. 0 when stored and for an invalid handle; -1 for
 * a missing or over-long text (nothing changes).
 */
QRNET_API int32_t QRNET_ClientNVRUpdateReplayTime(uint32_t handle, const char* start_time);

/* ---- Stream counters ----------------------------------------------------- */

/* Health of a client's video stream since its start, for diagnostics. */
typedef struct QRNET_StreamCounters {
  uint32_t decode_errors;      /* pictures the decoder refused, returned damaged
                                  or reported errors for */
  uint32_t oversized_pictures; /* pictures above 16 MiB dropped on receipt; the
                                  stream resumed at the next key picture */
  uint32_t reserved[6];        /* 0 */
} QRNET_StreamCounters;
QRNET_STATIC_ASSERT(sizeof(QRNET_StreamCounters) == 32, "stream counters are 32 bytes");

/* Fills *counters; 1, or 0 for an invalid handle or a null pointer. */
QRNET_API int32_t QRNET_ClientGetStreamCounters(uint32_t handle, QRNET_StreamCounters* counters);

/* ---- Video codec ---------------------------------------------------------- */

/*
 * The video codec of the client's stream: 96 H.264, 26 JPEG, 98 H.265 (from
 * descriptions that name it), 255 a codec the library cannot decode; 0 for
 * an invalid handle or before the stream was described. When name is given,
 * it receives the codec's name, cut to size - 1 bytes and terminated: "H264",
 * "H265", "JPEG", or for 255 the encoding name the stream announced (e.g.
 * "AV1", "MP4V-ES").
 *
 * A stream whose video cannot be decoded is also reported when it starts:
 * notification kind 9, value 255. Its sound, if any, still plays.
 */
QRNET_API int32_t QRNET_ClientGetVideoCodec(uint32_t handle, char* name, int32_t size);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUORNET_H_ */
