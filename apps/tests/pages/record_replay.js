// Records the first simulated camera for five seconds, stops, opens the
// recording and seeks in it. Quits 0 when every step did what it should,
// 1 at the first step that did not. host.args[0]: the recording's path;
// host.args[1] "record-only" quits 0 once the recording is stopped, any
// other text is where to save a picture of the window during the replay.
var path = host.args[0];
var recordOnly = host.args[1] === "record-only";
var shot = recordOnly ? null : host.args[1];

function fail(what) {
  host.log("FAILED " + what);
  host.quit(1);
}

ctl0.url = host.sim[0];
ctl0.channel = 1;

var recording = false;
function ctl0_LinkState(ocxid, state) {
  if (state !== 0 || recording) return;
  recording = true;
  var started = ctl0.StartRecord(path, 0, 0);
  host.log("StartRecord " + started);
  if (started === 0) return fail("StartRecord");
  // The file starts at the next key picture, which a busy machine may
  // deliver a second or two late: five seconds leave at least two recorded.
  host.setTimeout(stopAndReplay, 5000);
}

function stopAndReplay() {
  ctl0.StopRecord();
  ctl0.StopView();
  if (recordOnly) return host.quit(0);
  var opened = ctl0.OpenFile(path);
  host.log("OpenFile " + opened);
  if (opened !== true) return fail("OpenFile");
  var length = ctl0.GetFileTime();
  host.log("GetFileTime " + length);
  if (length < 2) return fail("GetFileTime");
  var seeked = ctl0.SetReplayTime(1);
  host.log("SetReplayTime " + seeked);
  if (seeked !== true) return fail("SetReplayTime");
  host.setTimeout(function () {
    var at = ctl0.GetReplayTime();
    host.log("GetReplayTime " + at);
    if (at < 1) return fail("GetReplayTime");
    if (shot) host.log("screenshot " + host.screenshot(shot));
    host.log("CloseFile " + ctl0.CloseFile());
    host.quit(0);
  }, 1000);
}

if (ctl0.StartView() !== 1) fail("StartView");
