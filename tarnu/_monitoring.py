"""The parts of the monitors (tarnu.resources.Tally and Level) that need optional libraries.

pandas and matplotlib are imported only when to_pandas() or plot() is called;
without them the error says which extra to install.
"""


def _require(module: str, extra: str, method: str):
    try:
        return __import__(module, fromlist=["_"])
    except ImportError as e:
        raise ImportError(
            f"{method}() needs {module.split('.')[0]}: install it with pip install 'tarnu[{extra}]'"
        ) from e


def to_pandas(monitor):
    """The monitor's samples as a pandas Series of values indexed by time in seconds."""
    pd = _require("pandas", "pandas", "to_pandas")
    index = pd.Index(monitor.times(), name="time")
    return pd.Series(monitor.values(), index=index, name=monitor.name, dtype=float)


def plot(monitor, ax=None, **kwargs):
    """Plots the samples over time on `ax` (the current axes by default) and returns the axes.

    A Level is drawn as steps that hold each value until the next sample and
    up to the current time; a Tally as one marker per observation. Keyword
    arguments go to matplotlib's ``plot``.
    """
    from tarnu.resources import Level

    if ax is None:
        plt = _require("matplotlib.pyplot", "plot", "plot")
        ax = plt.gca()
    times, values = monitor.times(), monitor.values()
    if isinstance(monitor, Level):
        if times and monitor.env.time > times[-1]:
            times.append(monitor.env.time)
            values.append(values[-1])
        kwargs.setdefault("drawstyle", "steps-post")
    else:
        kwargs.setdefault("marker", ".")
        kwargs.setdefault("linestyle", "none")
    kwargs.setdefault("label", monitor.name)
    ax.plot(times, values, **kwargs)
    ax.set_xlabel("time (s)")
    if monitor.name:
        ax.set_ylabel(monitor.name)
    return ax
