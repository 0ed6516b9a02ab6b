/* The C header from plain C: it compiles as C11 and the basic contract holds
 * through the shared library. */
#include <stdio.h>
#include <string.h>

#include "quornet.h"

static int failures = 0;

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (!(cond)) {                                                      \
      fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                       \
    }                                                                   \
  } while (0)

int main(void) {
  QRNET_ClientParam param;
  QRNET_ClientOutput out;

  CHECK(sizeof(QRNET_ClientParam) == 308);
  CHECK(sizeof(QRNET_ClientOutput) == 12);
  CHECK(QRNET_Startup(0, 0, NULL, 0) == 1);
  CHECK(QRNET_SetWaitTime(5, -1, 10) == 1);

  CHECK(QRNET_GetClientState(0) == QRNET_INVALID_STATE);
  CHECK(QRNET_GetClientState(12345) == 0xFFFF);
  CHECK(QRNET_GetClientParam(0, &out) == 0);
  CHECK(QRNET_GetLiveViewPerformance(0, 0) == -1);
  CHECK(QRNET_ClientStartView(0) == 0);
  CHECK(QRNET_ClientStop(0) == 0);
  CHECK(QRNET_ClientStartTalk(0) == 0);
  CHECK(QRNET_ClientStartTalkEx(0, 6) == 0);
  QRNET_ClientStopTalk(0);
  CHECK(QRNET_ClientStartRecord(0, "D:\\r\\a.avi", 60) == 0);
  CHECK(QRNET_ClientStopRecord(0) == 0);
  CHECK(QRNET_ClientStartAlarmRecord(0, "D:\\r\\a.264", 30) == 0);
  CHECK(QRNET_ClientStopAlarmRecord(0) == 0);
  CHECK(QRNET_ClientCapturePicture(0, "D:\\r\\a.jpg") == 0);

  memset(&param, 0, sizeof(param));
  param.transport = 3;
  param.view_flag = 1;
  strcpy(param.address, "127.0.0.1:1");
  CHECK(QRNET_ClientStart(&param) == 0);
  CHECK(QRNET_ClientStart_Trans(&param, 1001, 1) == 0);

  /* Recorder and channel-server records and calls (no host: nothing is sent). */
  {
    static QRNET_NVRRecordList records;
    static QRNET_FileServerChannelList cameras;
    CHECK(sizeof(QRNET_NVRRecordEntry) == 44 && sizeof(QRNET_FileServerChannelEntry) == 136);
    CHECK(QRNET_ClientNVRRecordQuery("", 80, "u", "p", 0, NULL, "d", "s", &records, 0, 1) ==
          QRNET_NVR_RESOLVE_FAILED);
    CHECK(QRNET_ClientFileServerGetChannel("", 80, &cameras) == QRNET_NVR_RESOLVE_FAILED);
    CHECK(QRNET_QueryServerChannel("", 80, "h", 554, 1, "u", "p") == QRNET_CS_RESOLVE_FAILED);
    CHECK(QRNET_ClientStartAlarmOut(0, "", 80, 1, "u", "p", 1) == 0);
  }
  /* File playback: what cannot be read does not open; controls on no file. */
  CHECK(QRNET_OpenFile("/nonexistent/record.avi", 0, 0) == 0);
  CHECK(QRNET_OpenFile(NULL, 0, 0) == 0);
  CHECK(QRNET_CloseFile(0) == 0);
  CHECK(QRNET_ReplaySeek(0, 10) == 0);
  CHECK(QRNET_ReplayStepByStep(0, 1, 0) == 0);
  CHECK(QRNET_SpeedFast(0) == 0);
  CHECK(QRNET_ClientNVRReplayPause(0, 1) == 0);
  CHECK(QRNET_ClientNVRUpdateReplayTime(0, "20240102030405") == 0);

  QRNET_Cleanup();
  if (failures == 0) printf("c_api_test: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
