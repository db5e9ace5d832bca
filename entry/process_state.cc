#include "entry/process_state.h"

WString g_sourceRoot;
WString g_installRoot;
