#include "distributed/mpi_communicator.hpp"

#include "util/panic.hpp"

namespace synaptor {

MpiCommunicator::MpiCommunicator(MPI_Comm comm) {
    const std::string when = "at creation";
    check(MPI_Comm_dup(comm, &comm_), "MPI_Comm_dup", when);
    const int set = MPI_Comm_set_errhandler(comm_, MPI_ERRORS_RETURN);
    const int rank = set == MPI_SUCCESS ? MPI_Comm_rank(comm_, &rank_) : set;
    const int size = rank == MPI_SUCCESS ? MPI_Comm_size(comm_, &size_) : rank;
    if (size != MPI_SUCCESS) {
        (void)MPI_Comm_free(&comm_);
        check(size, "MPI_Comm_set_errhandler", when);
    }
}

MpiCommunicator::~MpiCommunicator() {
    // After MPI_Finalize no MPI call is allowed; the library has released
    // the communicator with everything else.
    int finalized = 0;
    if (MPI_Finalized(&finalized) != MPI_SUCCESS || finalized) return;
    (void)MPI_Comm_free(&comm_);
}

void MpiCommunicator::check(int code, const char* operation, const std::string& when) {
    if (code == MPI_SUCCESS) return;
    char text[MPI_MAX_ERROR_STRING] = {};
    int length = 0;
    if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) length = 0;
    panic("MPI error in " + std::string(operation) + " " + when + ": " +
          (length > 0 ? std::string(text, static_cast<std::size_t>(length))
                      : "error code " + std::to_string(code)));
}

std::string at_tick(std::uint64_t t) { return "at tick " + std::to_string(t); }

}  // namespace synaptor
