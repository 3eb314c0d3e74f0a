// bench_service: what stripedrvd adds to a read, and how it holds up under
// many clients.
//
// 1. A read of tracks 2 and 3 through the service (WebSocket request to
//    answer) next to a direct MS_ReadCard, both at 115200 baud against the
//    paced simulated reader. The difference is the service's cost.
// 2. 32 connected clients share 1,000 reads (the queue holds 16: a "busy"
//    answer is retried after a short pause). Every request must get exactly
//    one answer, to its own id, and the process's memory must stay flat.
//
// 3. One client makes 10,000 reads: the memory after 100 and after all.
//
//   bench_service            50 timed reads, 32 clients x 1,000 reads,
//                            10,000 reads
//   bench_service --short    5 timed reads, 8 clients x 80 reads, 200 reads
//                            (CTest)
#include "bench_util.h"
#include "harness.h"
#include "stripedrv.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

bool timeReads(long count)
{
    svctest::HarnessOptions options;
    options.pacing = true;
    options.baud = 115200;
    svctest::Harness h(options);
    svctest::Client client(h.port());
    std::vector<double> direct, service;
    bool ok = true;
    for (long i = -1; i < count; ++i) {
        char t2[256] = "", t3[256] = "";
        double t0 = bench::now();
        int rc = MS_ReadCard(h.readerPort().c_str(), "", 115200, 5, SD_TRACKS_2_3, 0, t2, t3);
        double dt = bench::now() - t0;
        ok = ok && rc == SD_OK;

        t0 = bench::now();
        client.send(svctest::json{{"id", i}, {"op", "read"}, {"timeout", 5}});
        auto answer = client.answerTo(i);
        double ds = bench::now() - t0;
        ok = ok && answer && (*answer)["ok"] == true;
        if (i >= 0) { // the first of each is a warm-up
            direct.push_back(dt);
            service.push_back(ds);
        }
    }
    bench::Stats d = bench::stats(direct), s = bench::stats(service);
    std::printf("read at 115200 baud, %ld each: direct median %.2f ms (min %.2f, max %.2f) | "
                "through the service median %.2f ms (min %.2f, max %.2f) | added %+.2f ms\n",
                count, d.median * 1e3, d.min * 1e3, d.max * 1e3, s.median * 1e3, s.min * 1e3,
                s.max * 1e3, (s.median - d.median) * 1e3);
    return ok;
}

bool manyClients(int clients, int reads, bool judgeMemory)
{
    svctest::Harness h;
    std::atomic<int> next{0}, answered{0}, busy{0}, wrong{0};
    long rssStart = 0, rssMid = 0;
    std::mutex rssMutex;
    const double t0 = bench::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            svctest::Client client(h.port());
            for (int id; (id = next++) < reads;) {
                if (id == reads / 10) {
                    std::lock_guard<std::mutex> lock(rssMutex);
                    rssStart = bench::residentKb();
                }
                if (id == reads / 2) {
                    std::lock_guard<std::mutex> lock(rssMutex);
                    rssMid = bench::residentKb();
                }
                for (;;) {
                    client.send(svctest::json{{"id", id}, {"op", "read"}, {"timeout", 5}});
                    auto answer = client.answerTo(id, 30000ms);
                    if (!answer) {
                        ++wrong;
                        return;
                    }
                    if ((*answer)["ok"] == true && (*answer)["track2"] == h.card().track2) {
                        ++answered;
                        break;
                    }
                    if ((*answer)["code"] != SD_ERR_BUSY) {
                        ++wrong;
                        break;
                    }
                    ++busy;
                    std::this_thread::sleep_for(5ms);
                }
            }
        });
    for (auto &t : threads)
        t.join();
    const double took = bench::now() - t0;
    const long rssEnd = bench::residentKb();
    std::printf("%d clients, %d reads: %d answered ok, %d lost or wrong, %d busy answers "
                "retried, %.1f s (%.1f ms a read) | resident memory at 10%% %ld kB, 50%% %ld "
                "kB, end %ld kB\n",
                clients, reads, answered.load(), wrong.load(), busy.load(), took,
                took * 1e3 / reads, rssStart, rssMid, rssEnd);
    // Flat: the second half of the run may not grow by more than 1 MiB (not
    // judged in the short run, too short to say, nor meant for a sanitizer
    // build, whose quarantine grows).
    return answered == reads && wrong == 0 && (!judgeMemory || rssEnd - rssMid < 1024);
}

// One client's reads one after the other, pacing off: the resident memory
// after the first 100 against after all of them. The metrics' series are
// made once per operation and result, so it must stay flat.
bool memoryOverReads(long reads, bool judge)
{
    svctest::Harness h;
    svctest::Client client(h.port());
    long rssEarly = 0;
    bool ok = true;
    for (long i = 0; i < reads && ok; ++i) {
        client.send(svctest::json{{"id", i}, {"op", "read"}, {"timeout", 5}});
        auto answer = client.answerTo(i);
        ok = answer && (*answer)["ok"] == true;
        if (i + 1 == 100)
            rssEarly = bench::residentKb();
    }
    const long rssEnd = bench::residentKb();
    std::printf("%ld reads, one client: resident memory after 100 %ld kB, after all %ld kB "
                "(%+ld kB)\n",
                reads, rssEarly, rssEnd, rssEnd - rssEarly);
    return ok && (!judge || rssEnd - rssEarly < 1024);
}

} // namespace

int main(int argc, char **argv)
{
    const bool quick = bench::hasFlag(argc, argv, "--short");
    sdtest::TempWorkDir dir; // no CONFIG.ini: trace off
    bool ok = timeReads(quick ? 5 : bench::option(argc, argv, "--count", 50));
    ok = manyClients(quick ? 8 : 32, quick ? 80 : 1000, !quick) && ok;
    ok = memoryOverReads(quick ? 200 : 10000, !quick) && ok;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
