// Deliberate kernel-code faults, compiled only by the kernel-safety check's own test: each one
// must be reported. Never part of the driver.
extern "C" int OutsideService(int value);

struct Started {
    Started() : value(OutsideService(1)) {}
    int value;
};

Started started;       // needs a static constructor
int writtenCount = 1;  // writable global data

int KernelFaultBigFrame(int seed)
{
    volatile unsigned char frame[1024];
    for (int i = 0; i < 1024; ++i) {
        frame[i] = static_cast<unsigned char>(seed + i);
    }
    return frame[seed & 1023] + writtenCount++ + started.value;
}
