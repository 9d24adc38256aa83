// A millisecond stopwatch behind an abstract interface, timed by the time of
// day, with free functions that drive it through a pointer.
#pragma once

#include <sys/time.h>

#include <new>

class StopWatchInterface {
public:
    virtual ~StopWatchInterface() {}
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void reset() = 0;
    // Milliseconds of the finished runs since the last reset, plus the run in progress.
    virtual float getTime() = 0;
    // Mean milliseconds of a finished run since the last reset; 0 with none.
    virtual float getAverageTime() = 0;
};

class StopWatchLinux : public StopWatchInterface {
public:
    ~StopWatchLinux() override {}
    void start() override;
    void stop() override;
    void reset() override;
    float getTime() override;
    float getAverageTime() override;
    // Milliseconds since the current run started.
    float getDiffTime();

private:
    struct timeval startStamp = {0, 0};
    float lastIntervalMs = 0;
    float accumulatedMs = 0;
    bool isRunning = false;
    int completedRuns = 0;
};

inline void StopWatchLinux::start()
{
    gettimeofday(&startStamp, nullptr);
    isRunning = true;
}

inline void StopWatchLinux::stop()
{
    lastIntervalMs = getDiffTime();
    accumulatedMs += lastIntervalMs;
    isRunning = false;
    ++completedRuns;
}

inline void StopWatchLinux::reset()
{
    lastIntervalMs = 0;
    accumulatedMs = 0;
    completedRuns = 0;
    // A run in progress goes on, timed from now.
    if (isRunning)
        gettimeofday(&startStamp, nullptr);
}

inline float StopWatchLinux::getTime()
{
    return isRunning ? accumulatedMs + getDiffTime() : accumulatedMs;
}

inline float StopWatchLinux::getAverageTime()
{
    return completedRuns > 0 ? accumulatedMs / static_cast<float>(completedRuns) : 0.0f;
}

inline float StopWatchLinux::getDiffTime()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    long long seconds = static_cast<long long>(now.tv_sec) - startStamp.tv_sec;
    long long micros = static_cast<long long>(now.tv_usec) - startStamp.tv_usec;
    return static_cast<float>(1000.0 * static_cast<double>(seconds) +
                              0.001 * static_cast<double>(micros));
}

// Makes a new stopwatch in *timer, overwriting whatever was there.
inline bool sdkCreateTimer(StopWatchInterface **timer)
{
    *timer = new (std::nothrow) StopWatchLinux();
    return *timer != nullptr;
}

// The functions below do nothing when *timer is null.
inline bool sdkStartTimer(StopWatchInterface **timer)
{
    if (*timer)
        (*timer)->start();
    return true;
}

inline bool sdkStopTimer(StopWatchInterface **timer)
{
    if (*timer)
        (*timer)->stop();
    return true;
}

inline bool sdkResetTimer(StopWatchInterface **timer)
{
    if (*timer)
        (*timer)->reset();
    return true;
}

inline float sdkGetAverageTimerValue(StopWatchInterface **timer)
{
    return *timer ? (*timer)->getAverageTime() : 0.0f;
}
