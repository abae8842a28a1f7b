/* Korvel platform runtime: every family of the kv_ interface. Compiles as C. */
#pragma once

#include "kv_core.h"
#include "kv_dir.h"
#include "kv_file.h"
#include "kv_log.h"
#include "kv_path.h"
#include "kv_platform.h"
#include "kv_process.h"
#include "kv_registry.h"
#include "kv_str.h"
#include "kv_sync.h"
#include "kv_time.h"
#include "kv_utf.h"
