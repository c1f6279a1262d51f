// The run directory under which every socket, pid file and check file of the
// daemons lives. It is /var/run unless the environment variable ZOR_RUN_DIR
// names another directory, so tests and several instances can run side by
// side. The variable is read on every call.
#pragma once

#include <cstddef>

#define OST_RUN_DIR_ENV "ZOR_RUN_DIR"
#define OST_RUN_DIR_DEFAULT "/var/run"

// The run directory without a trailing slash.
const char *ost_run_dir();

// Writes "<run dir>/<fmt...>" into buf. Returns the length snprintf reports
// (>= len means the path was cut).
int ost_run_path(char *buf, size_t len, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
