#include "e2e/e2e.hpp"
