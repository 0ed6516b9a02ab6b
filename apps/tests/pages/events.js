// Logs events and calls in order, each event with its arguments, and checks
// the conversions of the automation surface. Quits 0.
ctl0.ocxid = 42;
ctl0.URL = host.sim[0];  // names compare without regard to case
ctl0.channel = 1;

function show(v) {
  return typeof v + ":" + v;
}

function ctl0_LinkState(ocxid, state) {
  host.log("event LinkState " + show(ocxid) + " " + show(state));
  if (state !== 0) return;
  host.log("call VideoParamGet");
  host.log("returned VideoParamGet " + show(ctl0.VideoParamGet()));
  host.log("call AddCoverPosity");
  host.log("returned AddCoverPosity " + show(ctl0.AddCoverPosity()));
  host.log("call SearchRecordFile");
  host.log("returned SearchRecordFile " + show(ctl0.SearchRecordFile("2026-12-08-3")));
  host.log("call SearchRecordFile malformed");
  ctl0.SearchRecordFile("yesterday");
  host.log("returned SearchRecordFile malformed");
  ctl0.StopView();
  host.log("StopView done");
  host.quit(0);
}
function ctl0_VPNotify(ocxid, b, c, s) {
  host.log("event VPNotify " + show(ocxid) + " " + show(b) + " " + show(c) + " " + show(s));
}
function ctl0_AddCoveryNotify(ocxid, rect) {
  host.log("event AddCoveryNotify " + show(ocxid) + " " + show(rect));
}
function ctl0_SearchRecordFileNotify(ocxid, list) {
  host.log("event SearchRecordFileNotify " + show(ocxid) + " " + show(list));
}

// Types of properties and results.
host.log("url " + show(ctl0.url));
host.log("channel " + show(ctl0.channel));
host.log("ShowMDRegion " + show(ctl0.ShowMDRegion));
host.log("CloseFile " + show(ctl0.CloseFile()));
host.log("GetMDRegionSensitive " + show(ctl0.GetMDRegionSensitive(0)));
host.log("SetVertBlank " + show(ctl0.SetVertBlank(1)));
host.log("unknown " + show(ctl0.NoSuchMember));
host.log("has StartView " + ("startview" in ctl0));
// Arguments are converted to the declared types: a number cut to UI4, a
// text to I4, a number to BSTR, null to the missing text.
ctl0.channel = -1;
host.log("channel -1 " + show(ctl0.channel));
ctl0.channel = 1;
ctl0.Language = "2";
host.log("Language \"2\" " + show(ctl0.Language));
ctl0.User = 42;
host.log("User 42 " + show(ctl0.User));
ctl0.User = null;
host.log("User null " + show(ctl0.User));
host.log("same " + (controls[0] === ctl0));
try {
  ctl0.PTZCtrl(1);
} catch (e) {
  host.log("PTZCtrl(1) threw " + e.name);
}
try {
  ctl0.NoSuchMember = 1;
} catch (e) {
  host.log("put unknown threw " + e.name);
}
host.log("call StartView");
host.log("returned StartView " + show(ctl0.StartView()));
