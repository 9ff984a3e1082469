#ifndef TARROW_FRAMEWORK_SLEEP_H
#define TARROW_FRAMEWORK_SLEEP_H

// Suspends the calling thread for ms milliseconds. Signals do not shorten
// the delay: the sleep resumes until the whole time has passed.
void Sleep(unsigned int ms);

#endif
