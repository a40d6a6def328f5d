// Placeholder thread entries until each interface lands; each file that implements one removes
// its entry here. This file goes away with its last placeholder.
#include <iostream>

#include "interfaces.h"

void run_streamHighLevel() { std::cout << "binary protocol not available" << std::endl; }
