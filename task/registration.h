// The registration with IFM and the ACL agents of the present line cards.
#pragma once

#include <cstdint>

// Registers with IFM and brings up the ACL agent of every present line card: -1 when IFM could
// not be reached, 0 otherwise.
int l2ptRegistration();
