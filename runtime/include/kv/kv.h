/* Korvel platform runtime: every family of the kv_ interface. Compiles as C. */
#pragma once

#include "kv_core.h"
