// A private network namespace for end-to-end tests: the fixed ports (8050, 21328, 50051) of
// the servers a test starts are then its own, whatever else runs on the machine.
#pragma once

namespace testsupport {

// Moves the calling process (call it before starting threads or children) into a new network
// namespace with its loopback interface up. False when the system does not allow it (not
// privileged): the test then runs on the shared loopback.
bool enter_private_network();

}  // namespace testsupport
