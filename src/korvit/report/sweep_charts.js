// The charts of Korvit's sweep report, drawn in the browser with BokehJS's own
// plotting API from the data the page carries (the JSON block
// #korvit-sweep-charts, by the id of each chart's place: the dicts of
// korvit.report.sweep_report's walk_forward_data and best_runs_data; arrays as
// {"__nd__": dtype, "data": base64 of their little-endian bytes}), as the
// backtest's report draws its own.  Once every chart is drawn (at once on a
// page without any) the page says so: window.korvitReady and body[data-ready].
(function () {
  "use strict";
  var BLUE = "#2c5aa0", GREY = "#7f8794";
  var LINES = ["#2c5aa0", "#e08a00", "#26a269", "#8e44ad", "#c0392b", "#16a085", "#7f8794"];
  var SHADES = ["#0072b2", "#56b4e9"];
  var TOOLS = "xpan,xwheel_zoom,box_zoom,reset,save";
  var TYPES = {float64: Float64Array, float32: Float32Array, int8: Int8Array, int16: Int16Array,
               int32: Int32Array, uint8: Uint8Array};

  var done = function () {
    requestAnimationFrame(function () { requestAnimationFrame(function () {
      window.korvitReady = true; document.body.setAttribute("data-ready", "1"); }); });
  };

  function decode(key, value) {
    if (value !== null && typeof value === "object" && typeof value.data === "string"
        && TYPES.hasOwnProperty(value.__nd__) && Object.keys(value).length === 2) {
      var bytes = atob(value.data), raw = new Uint8Array(bytes.length);
      for (var i = 0; i < bytes.length; i++) raw[i] = bytes.charCodeAt(i);
      return new TYPES[value.__nd__](raw.buffer);
    }
    return value;
  }

  function field(name) { return {field: name}; }
  function only(models, kind) { return models.filter(function (m) { return m instanceof kind; }); }
  function set(models, attrs) { models.forEach(function (m) { m.setv(attrs); }); }

  function figure(height, options) {
    var fig = Bokeh.Plotting.figure(Object.assign({
      height: height, sizing_mode: "stretch_width", tools: TOOLS, x_axis_type: "datetime",
      toolbar_location: "right"}, options));
    var pan = only(fig.toolbar.tools, Bokeh.PanTool);
    if (pan.length) fig.toolbar.active_drag = pan[0];
    fig.toolbar.logo = null;
    set(only(fig.center, Bokeh.Grid), {grid_line_color: "#e3e6ec"});
    fig.outline_line_color = null;
    set(only(fig.below.concat(fig.left), Bokeh.Axis),
        {axis_line_color: "#c9ced8", major_label_text_font_size: "11px"});
    set(only(fig.below, Bokeh.Axis), {formatter: new Bokeh.DatetimeTickFormatter(
      {days: "%b %d", months: "%b %Y", years: "%Y"})});
    set(only(fig.left, Bokeh.Axis), {formatter: new Bokeh.NumeralTickFormatter({format: "0,0"}),
                                     axis_label: "Equity"});
    fig.min_border_left = 70;
    return fig;
  }

  // The legend above the plot, where it hides no line (in a row, or an entry
  // a line: long names); a click on an entry hides its line.
  function legendAbove(fig, orientation) {
    var legend = fig.legend;
    fig.center = fig.center.filter(function (m) { return m !== legend; });
    legend.setv({orientation: orientation || "horizontal", location: "top_left", click_policy: "hide",
                 border_line_color: null, background_fill_alpha: 0, label_text_font_size: "11px",
                 padding: 0, margin: 2, glyph_height: 14});
    fig.add_layout(legend, "above");
  }

  function startLine(fig, cash) {
    if (cash === null) return;
    fig.add_layout(new Bokeh.Span({location: cash, dimension: "width", line_color: "#9aa3b2",
                                   line_dash: [2, 4], line_width: 1}));
  }

  // ---------------------------------------------------------------- walk-forward

  // The stitched out-of-sample equity and its benchmark, the test windows
  // shaded in turn on the curve and numbered in a strip below it (its hover
  // tells each window's dates, parameters and return).
  function walkForwardChart(d) {
    var data = d.columns, bench = data.benchmark !== undefined;
    var source = new Bokeh.ColumnDataSource({data: data});
    var main = figure(330, {});
    var windows = d.windows;
    for (var k = 0; k < windows.left.length; k++) {
      main.add_layout(new Bokeh.BoxAnnotation({left: windows.left[k], right: windows.right[k],
        fill_color: SHADES[k % 2], fill_alpha: 0.1, line_color: null, level: "underlay"}));
    }
    var line = main.line({x: field("x"), y: field("equity"), source: source, color: BLUE,
                          line_width: 2, legend_label: "Out of sample (stitched)"});
    if (bench) {
      main.line({x: field("x"), y: field("benchmark"), source: source, color: GREY, line_width: 1.2,
                 alpha: 0.9, legend_label: "Benchmark (stitched alike)"});
    }
    startLine(main, d.initial_cash);
    var tips = [["time", "@x{%F %H:%M}"], ["split", "@split"], ["equity", "@equity{0,0.00}"]];
    if (bench) tips.push(["benchmark", "@benchmark{0,0.00}"]);
    main.add_tools(new Bokeh.HoverTool({renderers: [line], tooltips: tips,
                                        formatters: {"@x": "datetime"}, mode: "vline"}));
    legendAbove(main);
    set(only(main.below, Bokeh.Axis), {visible: false});  // the strip's below tells the dates

    var strip = figure(56, {x_range: main.x_range, y_range: new Bokeh.Range1d({start: 0, end: 1}),
                            toolbar_location: null, tools: ""});
    set(only(strip.left, Bokeh.Axis), {visible: false});
    set(only(strip.center, Bokeh.Grid), {grid_line_color: null});
    var cells = new Bokeh.ColumnDataSource({data: windows});
    var quads = strip.quad({left: field("left"), right: field("right"), top: 1, bottom: 0, source: cells,
                            fill_color: field("colour"), fill_alpha: 0.35, line_color: "white"});
    strip.text({x: field("middle"), y: 0.5, text: field("label"), source: cells, text_align: "center",
                text_baseline: "middle", text_font_size: "11px", text_color: "#1d2330"});
    strip.add_tools(new Bokeh.HoverTool({renderers: [quads], tooltips: [
      ["split", "@label"], ["test window", "@dates"], ["parameters", "@params"],
      ["out-of-sample return", "@oos"]]}));
    return new Bokeh.Column({children: [main, strip], sizing_mode: "stretch_width"});
  }

  // ---------------------------------------------------------------- best runs

  // The equity curves of the best runs, one line each, best first.
  function bestRunsChart(d) {
    var fig = figure(340, {});
    d.runs.forEach(function (run, k) {
      var source = new Bokeh.ColumnDataSource({data: {x: run.x, equity: run.equity}});
      var line = fig.line({x: field("x"), y: field("equity"), source: source, line_width: k ? 1.4 : 2.2,
                           color: LINES[k % LINES.length], legend_label: run.label});
      fig.add_tools(new Bokeh.HoverTool({renderers: [line], formatters: {"@x": "datetime"},
        tooltips: [["run", "#" + run.rank + " (its parameters: in the legend)"], ["time", "@x{%F %H:%M}"],
                   ["equity", "@equity{0,0.00}"]]}));
    });
    startLine(fig, d.initial_cash);
    legendAbove(fig, "vertical");
    return fig;
  }

  // ---------------------------------------------------------------- the page

  var BUILD = {"chart-walk-forward": walkForwardChart, "chart-best-runs": bestRunsChart};
  var block = document.getElementById("korvit-sweep-charts");
  if (!block || typeof Bokeh === "undefined" || !Bokeh.Plotting) { done(); return; }
  var shown = [];
  try {
    var items = JSON.parse(block.textContent, decode);
    Object.keys(items).forEach(function (id) {
      var place = document.getElementById(id);
      if (!place || !BUILD.hasOwnProperty(id)) return;
      var chart = BUILD[id](items[id]);
      chart.name = id;
      shown.push(Bokeh.Plotting.show(chart, place));
    });
  } catch (error) {
    console.error(error);
  }
  Promise.all(shown).then(done, function (error) { console.error(error); done(); });
})();
