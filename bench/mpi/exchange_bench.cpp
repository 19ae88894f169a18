// The per-tick exchange between MPI ranks alone, without any partition:
// microseconds per exchange for a given number of spikes per tick (spread
// evenly over the ranks), from which the latency per collective (alpha, at 0
// spikes one collective runs) and the cost per byte received (beta) follow.
// Run under mpiexec; rank 0 prints one line per spike count.
//     mpiexec -n 2 build/bench/exchange_bench [exchanges per size]
#include <mpi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "distributed/mpi_communicator.hpp"
#include "distributed/mpi_tick_exchange.hpp"

int main(int argc, char** argv) {
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
    const long repeats = argc > 1 ? std::atol(argv[1]) : 2000;
    int exit_code = 0;
    {
        auto communicator = std::make_shared<synaptor::MpiCommunicator>(MPI_COMM_WORLD);
        synaptor::MpiTickExchange exchange(communicator);
        const auto rank = static_cast<std::uint64_t>(communicator->rank());
        const auto ranks = static_cast<std::uint64_t>(communicator->size());
        if (rank == 0) std::printf("ranks %llu\n", static_cast<unsigned long long>(ranks));
        for (std::uint64_t total : {0ull, 100ull, 1000ull, 10000ull, 100000ull}) {
            synaptor::LocalTick local;
            std::vector<std::uint64_t> spikes;
            synaptor::GlobalTick global;
            MPI_Barrier(communicator->comm());
            const auto start = std::chrono::steady_clock::now();
            for (long i = 0; i < repeats; ++i) {
                local.t = static_cast<std::uint64_t>(i);
                spikes.clear();
                // Rank r owns the nids r, r + R, ...: runs to merge on every rank.
                for (std::uint64_t nid = rank; nid < total; nid += ranks) spikes.push_back(nid);
                global = synaptor::GlobalTick{};
                exchange.exchange(local, spikes, global);
                if (spikes.size() != total) exit_code = 1;
            }
            const double us =
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count() /
                static_cast<double>(repeats);
            if (rank == 0) {
                std::printf("spikes per tick %7llu   us per exchange %10.2f\n",
                            static_cast<unsigned long long>(total), us);
            }
        }
    }
    MPI_Finalize();
    return exit_code;
}
