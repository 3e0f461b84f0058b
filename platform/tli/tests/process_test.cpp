#include "tlitest.h"
