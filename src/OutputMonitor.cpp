#include "OutputMonitor.h"

OutputMonitor OutputMonitor::INSTANCE;
