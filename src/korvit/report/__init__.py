"""Rendering the results: the HTML pages and the charts.

- ``report``: a run's self-contained HTML report (``BacktestResult.to_html``,
  ``BacktestResult.save``);
- ``chart_data``: the data of its charts, as plain values and arrays;
- ``report_charts.js``: the script that draws them in the page with BokehJS;
- ``charts``: the same charts as Bokeh's Python models (``BacktestResult.plot``);
- ``sweep_report``: a sweep's heat maps, robustness view and report.

The report reads the results (``korvit.backtest``); the results never import it
as they load: a result that renders imports the report inside the method that
renders.  Importing this package imports none of its modules (nor Bokeh nor
matplotlib).
"""
