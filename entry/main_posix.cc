#include "entry/dispatch.h"

int main() { return RunUpdater(); }
