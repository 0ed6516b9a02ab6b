// Searches yesterday's recordings (or those of the day given as the first
// argument, YYYY-MM-DD) and plays them one after the other.
//
//   qr-page examples/replay.js
//   qr-page examples/replay.js 2026-12-08
//   qr-page --sim 1 examples/replay.js --record-sample
//
// The search covers the record folders of every fixed and network drive
// ("X:\Record\Normal\<day>" and "X:\Record\Alarm\<day>") and reports the
// ".h264" record files there (the control's own recordings are ".avi" files
// and are not reported). With --record-sample the page first records five
// seconds of the simulated camera as "sample.h264" into yesterday's folder of
// drive C, so there is something to find. Buttons: previous, pause, next,
// faster, slower. The page ends when everything has played.

function pad(n) { return (n < 10 ? "0" : "") + n; }

var recordSample = host.args[0] === "--record-sample";
var day = recordSample ? null : host.args[0];
if (!day) {
  var d = new Date();
  d.setDate(d.getDate() - 1);
  day = d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate());
}

var files = [];
var current = -1;
var paused = false;

// SearchRecordFile answers with this event: ";" then each path and ";".
function ctl0_SearchRecordFileNotify(ocxid, list) {
  files = list.split(";").filter(function (f) { return f.length > 0; });
  host.log(files.length + " recordings of " + day);
  files.forEach(function (f) { host.log("  " + f); });
  if (files.length === 0) {
    host.log("nothing to play");
    host.quit(0);
    return;
  }
  play(0);
}

function play(index) {
  if (index < 0 || index >= files.length) return;
  current = index;
  paused = false;
  if (!ctl0.OpenFile(files[index])) {
    host.log("cannot open " + files[index]);
    return;
  }
  host.log("playing " + files[index] + " (" + ctl0.GetFileTime() + " s)");
  watch();
}

// Moves on to the next file when this one has played to its end.
function watch() {
  var file = current;
  host.setTimeout(function () {
    if (file !== current) return;
    var length = ctl0.GetFileTime();
    if (length > 0 && ctl0.GetReplayTime() >= length) {
      if (current + 1 < files.length) play(current + 1);
      else {
        host.log("played all");
        host.quit(0);
      }
      return;
    }
    watch();
  }, 1000);
}

host.button("Previous", function () { play(current - 1); });
host.button("Pause", function () {
  paused = !paused;
  ctl0.ReplayPause(paused ? 1 : 0);
});
host.button("Next", function () { play(current + 1); });
host.button("Faster", function () { ctl0.ReplayFast(); });
host.button("Slower", function () { ctl0.ReplaySlow(); });

function search() {
  ctl0.SearchRecordFile(day + "-3");  // 3: normal and alarm recordings
}

if (!recordSample) {
  search();
} else {
  ctl0.url = host.sim[0];
  ctl0.channel = 1;
  var sampleStarted = false;
  this.ctl0_LinkState = function (ocxid, state) {
    if (state !== 0 || sampleStarted) return;
    sampleStarted = true;
    var path = "C:\\Record\\Normal\\" + day + "\\sample.h264";
    host.log("recording " + path + ": " + ctl0.StartRecord(path, 0, 0));
    host.setTimeout(function () {
      ctl0.StopRecord();
      ctl0.StopView();
      search();
    }, 5000);
  };
  ctl0.StartView();
}
