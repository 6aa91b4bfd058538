// Trap targets of guarded module calls and the fault handler that turns a fault inside the
// running call's memory into a trap.
#include "wasm_guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include "wasm_memory.h"

// One guarded call on this thread's stack: where to jump on a trap, the memory whose faults are
// its own, and the guard it nests in.
typedef struct GuardFrame {
    jmp_buf target;
    const wasm_rt_memory_t* memory;
    struct GuardFrame* outer;
} GuardFrame;

// The innermost guard active on this thread, or NULL outside module calls. Initial-exec TLS is a
// fixed offset from the thread pointer: reading it never allocates (not even on a thread's first
// call) and is safe inside a signal handler.
static _Thread_local GuardFrame* rnnoise_wasm_active __attribute__((tls_model("initial-exec"))) =
    NULL;

// The SIGSEGV disposition found when the handler was installed; unclaimed faults go there.
static struct sigaction rnnoise_wasm_previous_segv;

void rnnoise_wasm_trap(wasm_rt_trap_t code) {
    GuardFrame* frame = rnnoise_wasm_active;
    if (frame != NULL) {
        longjmp(frame->target, (int)code);
    }
    fprintf(stderr, "rnnoise: WebAssembly trap outside a guarded call: %s\n",
            wasm_rt_strerror(code));
    abort();
}

// glibc's setjmp does not save the signal mask, so entering a guard makes no system call; the
// fault handler unblocks SIGSEGV itself before it jumps here.
wasm_rt_trap_t rnnoise_wasm_guarded(const wasm_rt_memory_t* memory, rnnoise_wasm_call call,
                                    void* context) {
    GuardFrame frame = {.memory = memory, .outer = rnnoise_wasm_active};
    int trap = setjmp(frame.target);
    if (trap != 0) {
        rnnoise_wasm_active = frame.outer;
        return (wasm_rt_trap_t)trap;
    }
    rnnoise_wasm_active = &frame;
    call(context);
    rnnoise_wasm_active = frame.outer;
    return WASM_RT_TRAP_NONE;
}

// Hands a fault that is not ours to the disposition that was in place before. For the default
// action or SIG_IGN it restores that disposition and returns: the faulting instruction runs again
// and the kernel ends the process as it would have without this handler. A SIGSEGV sent by
// another process is raised again for the same effect.
static void rnnoise_wasm_forward(int signal, siginfo_t* info, void* ucontext) {
    const struct sigaction* previous = &rnnoise_wasm_previous_segv;
    if ((previous->sa_flags & SA_SIGINFO) != 0) {
        previous->sa_sigaction(signal, info, ucontext);
    } else if (previous->sa_handler != SIG_DFL && previous->sa_handler != SIG_IGN) {
        previous->sa_handler(signal);
    } else {
        sigaction(signal, previous, NULL);
        if (info->si_code <= 0) {
            raise(signal);
        }
    }
}

// Claims the fault when this thread is inside a guarded call and the address is in that call's
// memory reservation: the call ends with an out-of-bounds trap. SIGSEGV is unblocked before the
// jump because a runtime that wraps signal handlers (ThreadSanitizer does) may run this one with
// it blocked despite SA_NODEFER; left blocked, the thread's next fault would kill the process.
static void rnnoise_wasm_on_fault(int signal, siginfo_t* info, void* ucontext) {
    GuardFrame* frame = rnnoise_wasm_active;
    if (frame != NULL && frame->memory != NULL && info->si_code > 0 &&
        rnnoise_wasm_memory_contains(frame->memory, info->si_addr)) {
        sigset_t faults;
        sigemptyset(&faults);
        sigaddset(&faults, SIGSEGV);
        pthread_sigmask(SIG_UNBLOCK, &faults, NULL);
        longjmp(frame->target, (int)WASM_RT_TRAP_OOB);
    }
    rnnoise_wasm_forward(signal, info, ucontext);
}

// Installing over itself would make the handler its own predecessor, so an installed handler is
// left as it is. The predecessor is recorded before the handler goes live, so a fault can never
// be forwarded to a half-written disposition.
bool rnnoise_wasm_guard_install(void) {
    struct sigaction current;
    if (sigaction(SIGSEGV, NULL, &current) != 0) {
        return false;
    }
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == rnnoise_wasm_on_fault) {
        return true;
    }
    rnnoise_wasm_previous_segv = current;
    struct sigaction action = {.sa_sigaction = rnnoise_wasm_on_fault,
                               .sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK};
    sigemptyset(&action.sa_mask);
    return sigaction(SIGSEGV, &action, NULL) == 0;
}
