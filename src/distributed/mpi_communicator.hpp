// The communicator of one distributed instance: a duplicate of the one the
// script passed in, so that the instance's messages never match the script's
// own, with errors returned rather than aborting the job. Every MPI call of
// the instance goes through `check`, which turns an error code into a panic
// naming the operation. Used on the instance's calling thread only.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <string>

namespace synaptor {

class MpiCommunicator {
public:
    /// Duplicates `comm` (collective over it) and sets MPI_ERRORS_RETURN on the duplicate.
    explicit MpiCommunicator(MPI_Comm comm);
    ~MpiCommunicator();
    MpiCommunicator(const MpiCommunicator&) = delete;
    MpiCommunicator& operator=(const MpiCommunicator&) = delete;

    MPI_Comm comm() const { return comm_; }
    int rank() const { return rank_; }
    int size() const { return size_; }

    /// Panics with "MPI error in <operation> <when>: <library text>" unless
    /// `code` is MPI_SUCCESS.
    static void check(int code, const char* operation, const std::string& when);

private:
    MPI_Comm comm_ = MPI_COMM_NULL;
    int rank_ = 0;
    int size_ = 1;
};

/// "at tick T", for the texts of `check`.
std::string at_tick(std::uint64_t t);

}  // namespace synaptor
