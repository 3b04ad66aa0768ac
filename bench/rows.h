// The transports other than ToviIPC, each defined in its own file; only the files of the
// build's system are compiled.
#pragma once

#include "bench.h"

namespace bench {

// POSIX build: Unix domain stream sockets (socket_rows.cpp), nng (nng_row.cpp), ZeroMQ
// (zmq_row.cpp).
row_def raw_two_reads_row();
row_def raw_buffered_row();
row_def nng_pair_row();
row_def zmq_pair_row();

// Windows build: overlapped named pipes (win32_pipe_row.cpp).
row_def win32_pipe_row();

}  // namespace bench
