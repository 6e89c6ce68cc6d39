"""Private: ostrilo_py places here, as ``api``, the capsule through which the companion modules
of its package reach its classes, allocators and worker pool. Nothing here is for users."""
