// The benchmark groups, registered by main in this order.
#pragma once

namespace ntseclink_bench {

void registerLookupBenchmarks();
void registerMessageBenchmarks();
void registerHandshakeBenchmarks();
void registerMemoryBenchmarks();
void registerScalingBenchmarks();

}  // namespace ntseclink_bench
