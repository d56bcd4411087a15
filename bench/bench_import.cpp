// kv2 import of every shared file: reading, building, fitting and writing,
// beside the reference of assimp reading the same file with the same
// post-processing (the part of an import that is not ours). Counters give
// the input's and the written file's sizes in bytes.
#include "kv2_import.h"

#include <assimp/cimport.h>
#include <assimp/scene.h>
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

char const *const Sources[] = {"characters/CesiumMan.glb", "characters/RiggedFigure.glb",
                               "characters/RiggedSimple.glb", "characters/SimpleSkin.gltf",
                               "mocap/walk.bvh"};

std::string SharedPath(char const *Source) {
    return std::string(KELVO_SOURCE_DIR) + "/../shared/data/" + Source;
}

double FileSize(std::string const &Path) {
    struct stat Status;
    return stat(Path.c_str(), &Status) == 0 ? (double)Status.st_size : -1.0;
}

void Import(benchmark::State &State, char const *Source) {
    std::string In = SharedPath(Source);
    if (FileSize(In) < 0) {
        State.SkipWithError("../shared/data is absent: nothing to measure");
        return;
    }
    std::string Out = "/tmp/bench_import_" + std::to_string(getpid()) + ".kv2";
    kv2::import_settings Settings;
    Settings.Progress = false;
    for (auto _ : State) {
        kv2::import_summary Summary;
        std::string Reason;
        if (!kv2::ImportScene(In.c_str(), Out.c_str(), Settings, Summary, Reason)) {
            State.SkipWithError(Reason.c_str());
            break;
        }
    }
    State.counters["input_bytes"] = FileSize(In);
    State.counters["output_bytes"] = FileSize(Out);
    unlink(Out.c_str());
}

void AssimpRead(benchmark::State &State, char const *Source) {
    std::string In = SharedPath(Source);
    if (FileSize(In) < 0) {
        State.SkipWithError("../shared/data is absent: nothing to measure");
        return;
    }
    for (auto _ : State) {
        aiScene const *Scene = aiImportFile(In.c_str(), kv2::ReadSteps);
        benchmark::DoNotOptimize(Scene);
        aiReleaseImport(Scene);
    }
    State.counters["input_bytes"] = FileSize(In);
}

int const Registered = [] {
    for (char const *Source : Sources) {
        std::string Name = strrchr(Source, '/') + 1;
        benchmark::RegisterBenchmark(("Import/" + Name).c_str(), Import, Source)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("AssimpRead/" + Name).c_str(), AssimpRead, Source)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}();

} // namespace

BENCHMARK_MAIN();
