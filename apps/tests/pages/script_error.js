// An error at top level, on line 3.
host.log("before");
notDefinedAnywhere();
host.log("after");
