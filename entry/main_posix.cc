#include "entry/dispatch.h"

int main() { return updater::entry::RunUpdater(); }
