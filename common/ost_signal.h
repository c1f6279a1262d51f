// The common termination-signal handlers of the daemons.
//
// SIGTERM ends the process at once with status 0, even while the event loop
// is busy. SIGHUP, SIGINT and SIGQUIT report an assertion of this module and
// stop the process abnormally. A daemon installs its own signal table first
// and then calls ost_signal_init.
#pragma once

void ost_signal_init();
