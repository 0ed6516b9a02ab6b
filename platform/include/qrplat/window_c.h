/*
 * qrplat/window_c.h: window hosts for C programs.
 *
 * The network client library draws into and reports to windows it knows by
 * 32-bit ids (the video_window and notify_window fields of the client
 * record). A C program that owns a window (an SDL window, a GTK drawing
 * area, a frame buffer, or nothing on screen at all) registers a host made
 * of callbacks and hands the returned id to the library.
 *
 * Threads. Every callback may be called from any of the library's worker
 * threads, also several at once, so each must be thread-safe and return
 * promptly. `present` hands over a finished picture whose pixels are valid
 * only during the call: copy what you need (or convert, or upload a
 * texture) and return. `post_message` carries a notification (wParam kind,
 * lParam value, see quornet.h) in the order the library produced it for one
 * client; queue it for your own thread if you act on it there.
 *
 * Lifetime. QRPLAT_UnregisterWindow returns only when no callback of the
 * host is running any more, and none is called after it returned, so the
 * `user` data may be freed then. Never call it from inside a callback.
 */
#ifndef QRPLAT_WINDOW_C_H_
#define QRPLAT_WINDOW_C_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Pixel layouts of a window's surface and of presented pictures, little-
 * endian in memory. Pictures are presented as QRPLAT_PIXEL_RGB32 (bytes B, G,
 * R, 255) whatever the window's layout. */
#define QRPLAT_PIXEL_RGB32 0  /* bytes B, G, R, X */
#define QRPLAT_PIXEL_RGB24 1  /* bytes B, G, R */
#define QRPLAT_PIXEL_RGB565 2 /* 16-bit words R:5 G:6 B:5 */
#define QRPLAT_PIXEL_RGB555 3 /* 16-bit words X:1 R:5 G:5 B:5 */

/* A rectangle, right and bottom exclusive. */
typedef struct QRPLAT_Rect {
  int32_t left, top, right, bottom;
} QRPLAT_Rect;

typedef struct QRPLAT_WindowCallbacks {
  /* Handed back as the first argument of every callback. */
  void* user;
  /* Required: the size of the area pictures are drawn into, in pixels. */
  void (*client_size)(void* user, int32_t* width, int32_t* height);
  /* Optional (NULL: always visible): 0 while the window is hidden; the
   * library then skips drawing. */
  int32_t (*is_visible)(void* user);
  /* Required: shows the part `source` of a picture of width x height pixels,
   * rows `stride` bytes apart, in layout `format` (QRPLAT_PIXEL_*). */
  void (*present)(void* user, const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                  int32_t format, const QRPLAT_Rect* source);
  /* Optional (NULL: messages are dropped): a notification message. Return
   * 0 to refuse it. */
  int32_t (*post_message)(void* user, uint32_t message, uint32_t wparam, int32_t lparam);
  /* The window surface's layout (QRPLAT_PIXEL_*); the library's video
   * surface follows it. QRPLAT_PIXEL_RGB32 is the usual choice. */
  int32_t pixel_format;
} QRPLAT_WindowCallbacks;

/* Registers a host; the callbacks are copied. Returns the window id (never
 * 0), or 0 when a required callback is missing or the format is unknown. */
uint32_t QRPLAT_RegisterWindow(const QRPLAT_WindowCallbacks* callbacks);
/* Unregisters a window registered here; see "Lifetime" above. Unknown ids
 * are ignored. */
void QRPLAT_UnregisterWindow(uint32_t id);

#ifdef __cplusplus
}
#endif

#endif /* QRPLAT_WINDOW_C_H_ */
