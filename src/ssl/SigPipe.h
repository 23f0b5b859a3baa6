#pragma once

namespace tavir::ssl {

// TLS writes go through write(2), which raises SIGPIPE when the peer has
// gone. Makes sure, once per process, that the signal is ignored unless the
// application installed a handler of its own, so a reset connection gives
// an error instead of ending the process.
void ignoreSigPipe();

} // namespace tavir::ssl
