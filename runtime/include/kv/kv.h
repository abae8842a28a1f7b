/* Korvel platform runtime: every family of the kv_ interface. Compiles as C. */
#pragma once

#include "kv/kv_core.h"
#include "kv/kv_dir.h"
#include "kv/kv_file.h"
#include "kv/kv_log.h"
#include "kv/kv_path.h"
#include "kv/kv_platform.h"
#include "kv/kv_process.h"
#include "kv/kv_registry.h"
#include "kv/kv_str.h"
#include "kv/kv_sync.h"
#include "kv/kv_time.h"
#include "kv/kv_utf.h"
