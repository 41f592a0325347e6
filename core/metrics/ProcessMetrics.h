#pragma once
// The process's own figures in the names every Prometheus exporter uses
// (process_cpu_seconds_total, process_resident_memory_bytes, ...), read from
// /proc/self; a figure that cannot be read is left out.

#include <string>

void RenderProcessMetrics(std::string& Out);
