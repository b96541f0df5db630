"""Studies of the 2D Ising model on spinlattice: Monte Carlo chains, their
statistics, their exact counterparts, and the ``spinlattice-study`` command.

    plan        what one chain runs (standard library only)
    exact       infinite-lattice and finite-torus exact results, T_c, exponents
    stats       binning, autocorrelation times, jackknife, reweighting (numpy)
    chains      one Markov chain, run inside a worker, saved as it runs (numpy)
    executors   local processes or a Dask cluster; progress; stopping cleanly
    storage     chains on disk (finished, and in progress), written atomically
    scaling     finite-size scaling of the critical point (scipy)
    reporting   tables, CSV and printed estimates
    figures     the figures (matplotlib)
    cli         the spinlattice-study command, with demo, sweep and critical

numpy, scipy, matplotlib and tqdm come with ``pip install "spinlattice[studies]"``;
Dask with the ``dask`` extra. Importing this package imports nothing, and ``exact``
gives T_c and the exponents with the standard library alone; a part whose
dependencies are missing says which extra brings them. Workers import only
chains and stats, so they need spinlattice and numpy alone.
"""
