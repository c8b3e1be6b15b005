#include "maintenance/maintenance.h"
