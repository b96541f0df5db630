"""What the benchmarks say of the machine they ran on."""

import platform


def processor():
    """The processor's model name where the system says it (Linux), else the architecture."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or platform.machine()
