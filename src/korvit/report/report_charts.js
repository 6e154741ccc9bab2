// The charts of Korvit's HTML report, drawn in the browser with BokehJS's own
// plotting API from the data the page carries (the JSON block #korvit-charts:
// the dicts of korvit.report.chart_data by the id of their place; arrays as
// {"__nd__": dtype, "data": base64 of their little-endian bytes}).  They are
// the charts korvit.report.charts draws with Bokeh's Python models, to the
// colour.  Once every chart is drawn the page says so (window.korvitReady and
// body[data-ready]); the page's drop-down of instruments shows another one by
// setting the tags of the price chart's title (the model "korvit-instrument"),
// its text box filters the drop-down, and window.korvitIndicators names the
// indicators drawn for the instrument shown.  The instruments' data is decoded
// only when an instrument is shown.  The "Log scale" button shows the figure
// "korvit-equity-log" in place of "korvit-equity".
(function () {
  "use strict";
  var BLUE = "#2c5aa0", GREY = "#7f8794", RED = "#c0392b", GREEN = "#1a9850";
  var UP = "#26a269", DOWN = "#d1453b";
  var STOP_COLORS = ["#d1453b", "#26a269", "#e08a00"];     // loss, profit, trailing
  var ACCOUNT_COLORS = ["#2c5aa0", "#e08a00", "#26a269", "#8e44ad", "#c0392b", "#16a085", "#7f8794"];
  // the indicators' lines, by their place in their pane (none is the candles' green or red)
  var INDICATOR_COLORS = ["#e08a00", "#8e44ad", "#2c5aa0", "#16a085", "#b8336a", "#7f8794", "#8c6d1f",
                          "#3d9ad1"];
  // RdYlGn11, red (lowest) to green
  var PALETTE = ["#a50026", "#d73027", "#f46d43", "#fdae61", "#fee08b", "#ffffbf", "#d9ef8b", "#a6d96a",
                 "#66bd63", "#1a9850", "#006837"];
  var MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"];
  var TOOLS = "xpan,xwheel_zoom,box_zoom,reset,save";
  var TYPES = {float64: Float64Array, float32: Float32Array, int8: Int8Array, int16: Int16Array,
               int32: Int32Array, uint8: Uint8Array};

  var done = function () {
    requestAnimationFrame(function () { requestAnimationFrame(function () {
      window.korvitReady = true; document.body.setAttribute("data-ready", "1"); }); });
  };

  // The arrays of a value read from the JSON block, decoded (skip: a key whose
  // value is left as it is, to decode later).
  function decode(value, skip) {
    if (Array.isArray(value)) return value.map(function (v) { return decode(v); });
    if (value === null || typeof value !== "object") return value;
    if (typeof value.data === "string" && TYPES.hasOwnProperty(value.__nd__) && Object.keys(value).length === 2) {
      var bytes = atob(value.data), raw = new Uint8Array(bytes.length);
      for (var i = 0; i < bytes.length; i++) raw[i] = bytes.charCodeAt(i);
      return new TYPES[value.__nd__](raw.buffer);
    }
    var out = {};
    Object.keys(value).forEach(function (k) { out[k] = k === skip ? value[k] : decode(value[k]); });
    return out;
  }

  // ---------------------------------------------------------------- helpers

  function range(pair) { return new Bokeh.Range1d({start: pair[0], end: pair[1]}); }
  function field(name) { return {field: name}; }
  function xaxes(fig) { return fig.below.concat(fig.above).filter(function (m) { return m instanceof Bokeh.Axis; }); }
  function yaxes(fig) { return fig.left.concat(fig.right).filter(function (m) { return m instanceof Bokeh.Axis; }); }
  function axes(fig) { return xaxes(fig).concat(yaxes(fig)); }
  function grids(fig) { return fig.center.filter(function (m) { return m instanceof Bokeh.Grid; }); }
  function set(models, attrs) { models.forEach(function (m) { m.setv(attrs); }); }

  function figure(height, compressed, options) {
    var fig = Bokeh.Plotting.figure(Object.assign({
      height: height, sizing_mode: "stretch_width", tools: TOOLS,
      x_axis_type: compressed ? "linear" : "datetime", toolbar_location: "right"}, options));
    // dragging pans along x (set here: the figure of BokehJS before 3.2 takes no active_drag)
    fig.toolbar.active_drag = fig.toolbar.tools.filter(function (t) { return t instanceof Bokeh.PanTool; })[0];
    fig.toolbar.logo = null;
    set(grids(fig), {grid_line_color: "#e3e6ec"});
    fig.outline_line_color = null;
    set(axes(fig), {axis_line_color: "#c9ced8", major_label_text_font_size: "11px"});
    fig.min_border_left = 70;
    return fig;
  }

  // The tick labels of the x axis: dates, or on a compressed axis the time of
  // the bar at the tick (bar b of the run of evenly spaced bars from bar pos[a]
  // at ms[a] + (b - pos[a]) * step); with the year where the run crosses a
  // year's end.
  var TICK_CODE = [
    "let a = 0, b = pos.length - 1;",
    "if (b < 0) return \"\";",
    "const bar = Math.min(Math.max(Math.round(tick), 0), last);",
    "if (bar <= pos[0]) a = 0; else if (bar >= pos[b]) a = b;",
    "else { while (b - a > 1) { const m = (a + b) >> 1; if (pos[m] <= bar) a = m; else b = m; } }",
    "const d = new Date(ms[a] + Math.max(bar - pos[a], 0) * step), p = (v) => String(v).padStart(2, \"0\");",
    "const day = `${p(d.getUTCMonth() + 1)}-${p(d.getUTCDate())} ${p(d.getUTCHours())}:${p(d.getUTCMinutes())}`;",
    "return years ? `${d.getUTCFullYear()}-${day}` : day;"
  ].join("\n");

  function style(fig, labels, years) {
    var formatter = labels === null || labels === undefined
      ? new Bokeh.DatetimeTickFormatter({days: years ? "%Y-%m-%d" : "%b %d", months: "%b %Y", years: "%Y"})
      : new Bokeh.CustomJSTickFormatter({args: {pos: Array.from(labels.pos), ms: Array.from(labels.ms),
                                                step: labels.step, last: labels.last, years: Boolean(years)},
                                         code: TICK_CODE});
    set(xaxes(fig), {formatter: formatter});
  }

  // The figure's legend in a row above the plot, where it hides no line; a
  // click on an entry hides its line.
  function legendAbove(fig, given) {
    var legend = given || fig.legend;
    fig.center = fig.center.filter(function (m) { return m !== legend; });
    legend.setv({orientation: "horizontal", location: "top_left", click_policy: "hide",
                 border_line_color: null, background_fill_alpha: 0, label_text_font_size: "11px",
                 padding: 0, margin: 2, glyph_height: 14});
    fig.add_layout(legend, "above");
  }

  // Fits a y range to what is visible between the x range's ends: the columns
  // cols[k] of sources[k] (x in xcols[k], sorted), and the segments of
  // `segments` (x0, x1, y); `zero` keeps 0 inside the range; `log`: the range
  // of a log scale, fitted to the values above 0 (padded on their logarithms).
  function fit(xr, yr, sources, xcols, cols, segments, zero, log) {
    var lo = xr.start, hi = xr.end, min = Infinity, max = -Infinity;
    for (var k = 0; k < sources.length; k++) {
      var d = sources[k].data, x = d[xcols[k]];
      if (!x || !x.length) continue;
      var a = 0, b = x.length;
      while (a < b) { var m = (a + b) >> 1; if (x[m] < lo) a = m + 1; else b = m; }
      for (var i = Math.max(0, a - 1); i < x.length; i++) {
        for (var j = 0; j < cols[k].length; j++) {
          var v = d[cols[k][j]][i];
          if (log) v = v > 0 ? Math.log(v) : NaN;
          if (Number.isFinite(v) && Math.abs(v) < 1e300) { if (v < min) min = v; if (v > max) max = v; }
        }
        if (x[i] > hi) break;
      }
    }
    if (segments) {
      var s = segments.data;
      for (var n = 0; n < (s.y ? s.y.length : 0); n++) {
        if (s.x0[n] <= hi && s.x1[n] >= lo && Number.isFinite(s.y[n])) {
          min = Math.min(min, s.y[n]); max = Math.max(max, s.y[n]);
        }
      }
    }
    if (zero) { min = Math.min(min, 0); max = Math.max(max, 0); }
    if (log && min <= max) {
      var gap = (max - min) * 0.06 || 0.02;
      yr.setv({start: Math.exp(min - gap), end: Math.exp(max + gap)});
    } else if (min <= max) {
      var pad = (max - min) * 0.06 || Math.abs(max) * 0.02 || 1;
      yr.setv({start: zero && min >= 0 ? 0 : min - pad, end: zero && max <= 0 ? pad * 0.2 : max + pad});
    }
  }

  // Refits the figure's y range whenever its x range moves.
  function fitY(fig, sources, xcols, cols, segments, zero, log) {
    var xr = fig.x_range, yr = fig.y_range;
    var refit = function () { fit(xr, yr, sources, xcols, cols, segments || null, Boolean(zero), Boolean(log)); };
    xr.connect(xr.properties.start.change, refit);
    xr.connect(xr.properties.end.change, refit);
    return refit;
  }

  // A legend above the figure, in a row, of the given items; a click on an entry hides its line.
  function legendOf(fig, items) {
    var legend = new Bokeh.Legend({items: items});
    legendAbove(fig, legend);
    return legend;
  }

  function hover(renderers, tooltips, formatters, mode) {
    var attrs = {tooltips: tooltips};
    if (renderers) attrs.renderers = renderers;
    if (formatters) attrs.formatters = formatters;
    if (mode) attrs.mode = mode;
    return new Bokeh.HoverTool(attrs);
  }

  function column(rows) { return new Bokeh.Column({children: rows, sizing_mode: "stretch_width"}); }

  // ---------------------------------------------------------------- equity

  function equityChart(d) {
    var compressed = d.compressed, labels = d.tick_labels, data = d.columns, years = d.years;
    var bench = data.benchmark !== undefined;
    var source = new Bokeh.ColumnDataSource({data: data});
    var marks = [[d.buys, "triangle", GREEN, "Buys"], [d.sells, "inverted_triangle", RED, "Sells"]]
      .filter(function (m) { return m[0] !== null; })
      .map(function (m) { return m.concat([new Bokeh.ColumnDataSource({data: m[0]})]); });
    // the equity on a linear scale and, where every value is above 0, on a log scale (hidden)
    var curves = function (log) {
      var fig = figure(330, compressed, Object.assign(
        {y_range: range(log ? d.log_range : d.y_range), x_range: log ? rows[0].x_range : range(d.x_range)},
        log ? {y_axis_type: "log"} : {}));
      fig.name = log ? "korvit-equity-log" : "korvit-equity";
      var line = fig.line({x: field("x"), y: field("equity"), source: source, color: BLUE, line_width: 2,
                           legend_label: "Strategy"});
      if (bench) {
        fig.line({x: field("x"), y: field("benchmark"), source: source, color: GREY, line_width: 1.2, alpha: 0.9,
                  legend_label: "Benchmark"});
      }
      if (d.initial_cash !== null && !(log && d.initial_cash <= 0)) {
        fig.add_layout(new Bokeh.Span({location: d.initial_cash, dimension: "width", line_color: "#9aa3b2",
                                       line_dash: [2, 4], line_width: 1}));    // Bokeh's Python "dotted"
      }
      marks.forEach(function (m) {
        fig.scatter({x: field("x"), y: field("y"), source: m[4], marker: m[1], size: 8, color: m[2],
                     line_color: "white", line_width: 0.5, legend_label: m[3], alpha: 0.85});
      });
      var tips = [["time", compressed ? "@time{%F %H:%M}" : "@time{%F}"], ["equity", "@equity{0,0.00}"]];
      if (bench) tips.push(["benchmark", "@benchmark{0,0.00}"]);
      tips.push(["drawdown", "@drawdown{0.00%}"]);
      fig.add_tools(hover([line], tips, {"@time": "datetime"}, "vline"));
      set(yaxes(fig), {formatter: new Bokeh.NumeralTickFormatter({format: "0,0"}),
                       axis_label: log ? "Equity (log scale)" : "Equity"});
      legendAbove(fig);
      set(xaxes(fig), {visible: false});
      var refit = fitY(fig, [source], ["x"], [bench ? ["equity", "benchmark"] : ["equity"]], null, false, log);
      if (log) { fig.visible = false; refit(); }
      style(fig, labels, years);
      rows.push(fig);
    };
    var rows = [];
    curves(false);
    if (d.log_range !== null) curves(true);
    var main = rows[0];

    var accounts = d.accounts;
    if (accounts !== null) {
      var byAccount = figure(170, compressed, {x_range: main.x_range, y_range: range(accounts.y_range)});
      var accData = {x: data.x}, names = [];
      accounts.columns.forEach(function (values, k) { accData["a" + k] = values; names.push("a" + k); });
      var accSource = new Bokeh.ColumnDataSource({data: accData});
      accounts.names.forEach(function (name, k) {
        byAccount.line({x: field("x"), y: field("a" + k), source: accSource,
                        color: ACCOUNT_COLORS[k % ACCOUNT_COLORS.length], line_width: 1.3, legend_label: name});
      });
      set(yaxes(byAccount), {formatter: new Bokeh.NumeralTickFormatter({format: "0,0"}), axis_label: "By account"});
      legendAbove(byAccount);
      set(xaxes(byAccount), {visible: false});
      fitY(byAccount, [accSource], ["x"], [names]);
      style(byAccount, labels, years);
      rows.push(byAccount);
    }

    var dd = figure(150, compressed, {x_range: main.x_range, y_range: range(d.drawdown_range)});
    dd.varea({x: field("x"), y1: field("drawdown"), y2: 0, source: source, color: RED, alpha: 0.25});
    dd.line({x: field("x"), y: field("drawdown"), source: source, color: RED, line_width: 1,
             legend_label: "Strategy"});
    if (bench) {
      dd.line({x: field("x"), y: field("benchmark_drawdown"), source: source, color: GREY, line_width: 1,
               alpha: 0.9, legend_label: "Benchmark"});
    }
    set(yaxes(dd), {formatter: new Bokeh.NumeralTickFormatter({format: d.drawdown_format}), axis_label: "Drawdown"});
    legendAbove(dd);
    fitY(dd, [source], ["x"], [bench ? ["drawdown", "benchmark_drawdown"] : ["drawdown"]], null, true);
    style(dd, labels, years);
    rows.push(dd);

    var overview = Bokeh.Plotting.figure({
      height: 70, sizing_mode: "stretch_width", x_axis_type: compressed ? "linear" : "datetime",
      toolbar_location: null, tools: "", y_range: range(d.overview_range),
      x_range: range([main.x_range.start, main.x_range.end])});
    overview.line({x: field("x"), y: field("equity"), source: source, color: BLUE, line_width: 1});
    set(yaxes(overview), {visible: false});
    set(grids(overview), {grid_line_color: null});
    overview.outline_line_color = "#c9ced8";
    overview.min_border_left = 70;
    set(axes(overview), {major_label_text_font_size: "10px"});
    var selector = new Bokeh.RangeTool({x_range: main.x_range});
    selector.overlay.setv({fill_color: BLUE, fill_alpha: 0.12});
    overview.add_tools(selector);
    style(overview, labels, years);
    rows.push(overview);
    return column(rows);
  }

  // ---------------------------------------------------------------- prices

  var FILL_MARKERS = ["triangle", "triangle", "inverted_triangle", "inverted_triangle"];
  var FILL_LINES = [UP, UP, DOWN, DOWN];
  var FILL_FILLS = [UP, "white", DOWN, "white"];

  function named(names, codes) {
    return Array.from(codes, function (k) { return names[k] === undefined ? "" : names[k]; });
  }

  // The columns of a code's prices, fills and stops, with their colours, marks
  // and names.
  function priceColumns(d, one) {
    var n = one.c.length, up = new Array(n);
    for (var i = 0; i < n; i++) up[i] = one.c[i] < one.o[i] ? DOWN : UP;
    var prices = {x: d.x, o: one.o, h: one.h, l: one.l, c: one.c, v: one.v, color: up};
    if (d.compressed) prices.time = d.time;
    var f = one.fills;
    var fills = {x: f.x, t: f.t !== undefined ? f.t : f.x, p: f.p, v: f.v, k: f.k,
                 marker: named(FILL_MARKERS, f.k), line: named(FILL_LINES, f.k), fill: named(FILL_FILLS, f.k),
                 kind: named(d.fill_kinds, f.k), account: named(d.accounts, f.a), why: named(d.reason_names, f.r)};
    var s = one.stops;
    var stops = {x0: s.x0, x1: s.x1, y: s.y, color: named(STOP_COLORS, s.k), kind: named(d.stop_names, s.k)};
    return {prices: prices, fills: fills, stops: stops};
  }

  // The indicators of a code by pane: per pane the columns of its lines (x, y0,
  // y1, ...: NaN where the code has none in that place) and the lines' names.
  function indicatorColumns(d, one) {
    var n = d.x.length, out = d.panes.map(function () { return {data: {x: d.x}, names: []}; });
    one.indicators.forEach(function (item) {
      var pane = out[item.pane];
      pane.data["y" + pane.names.length] = item.y;
      pane.names.push(item.name);
    });
    out.forEach(function (pane, k) {
      for (var j = pane.names.length; j < d.slots[k]; j++) pane.data["y" + j] = new Float32Array(n).fill(NaN);
    });
    return out;
  }

  // The lines of a pane's indicators on `fig`, one per place, with a legend
  // above the figure (a click hides a line); `update(pane)` shows a code's.
  function indicatorLines(fig, count, width) {
    var source = new Bokeh.ColumnDataSource({data: {x: []}}), items = [], lines = [], cols = [];
    for (var j = 0; j < count; j++) {
      var line = fig.line({x: field("x"), y: field("y" + j), source: source, line_width: width,
                           color: INDICATOR_COLORS[j % INDICATOR_COLORS.length], alpha: 0.9, name: "indicator"});
      lines.push(line);
      cols.push("y" + j);
      items.push(new Bokeh.LegendItem({label: "", renderers: [line]}));
    }
    legendOf(fig, items);
    return {source: source, cols: cols, update: function (pane) {
      source.data = pane.data;
      items.forEach(function (item, j) {
        var used = j < pane.names.length;
        item.setv({label: used ? pane.names[j] : "", visible: used});
        lines[j].visible = used;
      });
    }};
  }

  function priceChart(d) {
    var compressed = d.compressed;
    var store = function (code) {    // a code's data, decoded when it is first shown
      var one = d.store[code];
      if (one !== undefined && one.__decoded !== true) {
        one = d.store[code] = decode(one);
        one.__decoded = true;
        one.indicators.forEach(function (item) {    // packed: lo + (q + 32767) * step, -32768 unknown
          var q = item.q, y = new Float64Array(q.length);
          for (var i = 0; i < q.length; i++) y[i] = q[i] === -32768 ? NaN : item.lo + (q[i] + 32767) * item.step;
          item.y = y;
        });
      }
      return one;
    };
    var first = store(d.codes[0]);
    var columns = priceColumns(d, first);
    var prices = new Bokeh.ColumnDataSource({data: columns.prices});
    var fills = new Bokeh.ColumnDataSource({data: columns.fills});
    var stops = new Bokeh.ColumnDataSource({data: columns.stops});
    var xr = range(d.x_range);
    var title = new Bokeh.Title({text: first.title, name: "korvit-instrument", text_font_size: "13px"});
    var fig = figure(360, compressed, {x_range: xr, y_range: range(d.y_range), title: title});
    var body, tips;
    if (d.candles) {
      fig.segment({x0: field("x"), y0: field("h"), x1: field("x"), y1: field("l"), source: prices,
                   color: field("color"), line_width: 1});
      body = fig.vbar({x: field("x"), width: d.width, top: field("o"), bottom: field("c"), source: prices,
                       fill_color: field("color"), line_color: field("color"), line_width: 0.5});
      tips = [["open", "@o{0,0.00[00]}"], ["high", "@h{0,0.00[00]}"], ["low", "@l{0,0.00[00]}"],
              ["close", "@c{0,0.00[00]}"], ["volume", "@v{0,0}"]];
    } else {
      fig.varea({x: field("x"), y1: field("l"), y2: field("h"), source: prices, color: BLUE, alpha: 0.15});
      body = fig.line({x: field("x"), y: field("c"), source: prices, color: BLUE, line_width: 1.2});
      tips = [["close", "@c{0,0.00[00]}"], ["high", "@h{0,0.00[00]}"], ["low", "@l{0,0.00[00]}"],
              ["volume", "@v{0,0}"]];
    }
    var when = compressed ? ["@time{%F %H:%M}", {"@time": "datetime"}] : ["@x{%F}", {"@x": "datetime"}];
    fig.add_tools(hover([body], [["time", when[0]]].concat(tips), when[1], "vline"));
    var level = fig.segment({x0: field("x0"), y0: field("y"), x1: field("x1"), y1: field("y"), source: stops,
                             color: field("color"), line_width: 1.6, line_dash: "dashed"});
    fig.add_tools(hover([level], [["stop", "@kind at @y{0,0.00[00]}"]]));
    var marks = fig.scatter({x: field("x"), y: field("p"), source: fills, size: 11, marker: field("marker"),
                             fill_color: field("fill"), line_color: field("line"), line_width: 1.5});
    fig.add_tools(hover([marks], [["fill", "@kind @v{0,0} at @p{0,0.00[00]}"], ["time", "@t{%F %H:%M:%S}"],
                                  ["account", "@account"], ["exit", "@why"]], {"@t": "datetime"}));
    set(yaxes(fig), {formatter: new Bokeh.NumeralTickFormatter({format: "0,0.00[00]"}), axis_label: "Price"});
    set(xaxes(fig), {visible: false});
    style(fig, d.tick_labels, d.years);

    var vol = figure(120, compressed, {x_range: xr, y_range: range(d.volume_range)});
    vol.vbar({x: field("x"), width: d.width, top: field("v"), bottom: 0, source: prices,
              fill_color: field("color"), line_color: null, alpha: 0.6});
    set(yaxes(vol), {formatter: new Bokeh.NumeralTickFormatter({format: "0.[0]a"}), axis_label: "Volume"});
    style(vol, d.tick_labels, d.years);

    // The indicators: over the candles, over the volume, and each pane of its own below.
    var panes = d.panes.map(function (name, k) {
      if (!d.slots[k]) return null;
      var host = k === 0 ? fig : k === 1 ? vol : figure(130, compressed, {x_range: xr, y_range: range([0, 1])});
      var lines = indicatorLines(host, d.slots[k], k === 0 ? 1.6 : 1.3);
      if (k > 1) {
        set(yaxes(host), {formatter: new Bokeh.NumeralTickFormatter({format: "0,0.[00]"}), axis_label: name});
        style(host, d.tick_labels, d.years);
        host.add_tools(hover(null, [["time", when[0]]].concat(lines.cols.map(function (c) {
          return ["", "@" + c + "{0,0.00[00]}"]; })), when[1], "vline"));
        host.toolbar.tools[host.toolbar.tools.length - 1].renderers = [host.renderers[0]];
      }
      return {fig: host, lines: lines};
    });
    var priceLines = panes[0] ? [panes[0].lines.source] : [], priceCols = panes[0] ? [panes[0].lines.cols] : [];
    var fitPrices = fitY(fig, [prices, fills].concat(priceLines), ["x", "x"].concat(priceLines.map(function () { return "x"; })),
                         [["h", "l"], ["p"]].concat(priceCols), stops);
    var fitVolume = fitY(vol, [prices].concat(panes[1] ? [panes[1].lines.source] : []), ["x", "x"],
                         [["v"]].concat(panes[1] ? [panes[1].lines.cols] : []), null, true);
    // the time shown under the last pane only
    var below = panes.slice(2).filter(Boolean).map(function (pane) { return pane.fig; });
    [vol].concat(below).slice(0, -1).forEach(function (f) { set(xaxes(f), {visible: false}); });
    var fitBelow = panes.map(function (pane, k) {
      return pane && k > 1 ? fitY(pane.fig, [pane.lines.source], ["x"], [pane.lines.cols]) : null;
    });
    var showIndicators = function (one) {
      var names = [], columns = indicatorColumns(d, one);
      panes.forEach(function (pane, k) {
        if (!pane) return;
        pane.lines.update(columns[k]);
        names = names.concat(columns[k].names);
        if (k > 1) {
          pane.fig.visible = columns[k].names.length > 0;
          // the tooltip names each line as the legend does
          var tool = pane.fig.toolbar.tools[pane.fig.toolbar.tools.length - 1];
          tool.tooltips = [tool.tooltips[0]].concat(columns[k].names.map(function (name, j) {
            return [name, "@y" + j + "{0,0.00[00]}"]; }));
          fitBelow[k]();
        }
      });
      window.korvitIndicators = names;
    };
    showIndicators(first);
    fitPrices();
    fitVolume();

    // Another instrument: its prices, fills, stops, indicators and title; the y ranges fit to it.
    var shown = d.codes[0];
    title.connect(title.properties.tags.change, function () {
      var code = title.tags[0], one = store(code);
      if (one === undefined || code === shown) return;
      shown = code;
      var next = priceColumns(d, one);
      prices.data = next.prices;
      fills.data = next.fills;
      stops.data = next.stops;
      title.text = one.title;
      showIndicators(one);
      fitPrices();
      fitVolume();
    });
    return column([fig, vol].concat(below));
  }

  // ---------------------------------------------------------------- returns

  function monthlyChart(d) {
    var mapper = new Bokeh.LinearColorMapper({palette: PALETTE, low: -d.top, high: d.top, nan_color: "#f4f6f9"});
    var tips = hover(null, [["month", "@month @year"], ["strategy", "@value{+0.00%}"],
                            ["benchmark", "@benchmark{+0.00%}"]]);
    var fig = Bokeh.Plotting.figure({
      x_range: MONTHS, y_range: d.years.slice().reverse(), height: Math.max(120, 34 * d.years.length + 50),
      sizing_mode: "stretch_width", tools: [tips, "save"], toolbar_location: null});
    var source = new Bokeh.ColumnDataSource({data: d.columns});
    fig.rect({x: field("month"), y: field("year"), width: 1, height: 1, source: source,
              fill_color: {field: "value", transform: mapper}, line_color: "white", line_width: 2});
    fig.text({x: field("month"), y: field("year"), text: field("label"), source: source, text_align: "center",
              text_baseline: "middle", text_font_size: "11px", text_color: field("ink")});
    set(axes(fig), {axis_line_color: null, major_tick_line_color: null, major_label_text_font_size: "11px"});
    set(grids(fig), {grid_line_color: null});
    fig.outline_line_color = null;
    fig.min_border_left = 70;
    fig.toolbar.logo = null;
    return fig;
  }

  function rollingChart(d) {
    var data = d.columns, window = d.window, source = new Bokeh.ColumnDataSource({data: data});
    var bench = data.benchmark_sharpe !== undefined, xr = range(d.x_range);
    var title = function (text) {
      return new Bokeh.Title({text: text, text_font_size: "12px", text_font_style: "normal"});
    };
    var sharpe = figure(200, false, {x_range: xr, y_range: range(d.sharpe_range),
                                     title: title("Rolling Sharpe ratio (" + window + " days, annualised)")});
    var vol = figure(170, false, {x_range: xr, y_range: range(d.volatility_range),
                                  title: title("Rolling volatility (" + window + " days, annualised)")});
    [[sharpe, "sharpe", "0.00"], [vol, "volatility", "0.0%"]].forEach(function (one) {
      var fig = one[0], name = one[1], fmt = one[2];
      var ours = fig.line({x: field("x"), y: field(name), source: source, color: BLUE, line_width: 1.6,
                           legend_label: "Strategy"});
      var tips = [["day", "@x{%F}"], ["strategy", "@" + name + "{" + fmt + "}"]];
      if (bench) {
        fig.line({x: field("x"), y: field("benchmark_" + name), source: source, color: GREY, line_width: 1.2,
                  alpha: 0.9, legend_label: "Benchmark"});
        tips.push(["benchmark", "@benchmark_" + name + "{" + fmt + "}"]);
      }
      fig.add_tools(hover([ours], tips, {"@x": "datetime"}, "vline"));
      fig.add_layout(new Bokeh.Span({location: 0, dimension: "width", line_color: "#9aa3b2", line_width: 1}));
      set(yaxes(fig), {formatter: new Bokeh.NumeralTickFormatter({format: fmt})});
      legendAbove(fig);
      fitY(fig, [source], ["x"], [bench ? [name, "benchmark_" + name] : [name]], null, true);
      style(fig, null, d.years);
    });
    set(xaxes(sharpe), {visible: false});
    if (data.beta === undefined) return column([sharpe, vol]);
    set(xaxes(vol), {visible: false});
    var beta = figure(170, false, {x_range: xr, y_range: range(d.beta_range),
                                   title: title("Rolling beta against the benchmark (" + window + " days)")});
    var line = beta.line({x: field("x"), y: field("beta"), source: source, color: BLUE, line_width: 1.6});
    beta.add_tools(hover([line], [["day", "@x{%F}"], ["beta", "@beta{0.00}"]], {"@x": "datetime"}, "vline"));
    [[0, "#9aa3b2", []], [1, "#9aa3b2", [4, 4]]].forEach(function (at) {
      beta.add_layout(new Bokeh.Span({location: at[0], dimension: "width", line_color: at[1], line_width: 1,
                                      line_dash: at[2]}));
    });
    set(yaxes(beta), {formatter: new Bokeh.NumeralTickFormatter({format: "0.00"})});
    fitY(beta, [source], ["x"], [["beta"]], null, true);
    style(beta, null, d.years);
    return column([sharpe, vol, beta]);
  }

  function histogramChart(d) {
    var data = d.columns, bench = data.benchmark !== undefined;
    var source = new Bokeh.ColumnDataSource({data: data});
    var fig = Bokeh.Plotting.figure({height: 220, sizing_mode: "stretch_width", tools: "xpan,xwheel_zoom,reset,save",
                                     x_range: range(d.x_range), y_range: range(d.y_range), toolbar_location: "right",
                                     title: new Bokeh.Title({text: "Daily returns", text_font_size: "12px",
                                                             text_font_style: "normal"})});
    fig.toolbar.logo = null;
    fig.outline_line_color = null;
    fig.min_border_left = 70;
    set(grids(fig), {grid_line_color: "#e3e6ec"});
    set(axes(fig), {axis_line_color: "#c9ced8", major_label_text_font_size: "11px"});
    var ours = fig.quad({left: field("left"), right: field("right"), top: field("strategy"), bottom: 0,
                         source: source, fill_color: BLUE, fill_alpha: 0.55, line_color: "white", line_width: 0.5,
                         legend_label: "Strategy"});
    var tips = [["return", "@left{0.00%} to @right{0.00%}"], ["strategy", "@strategy{0.0%} of the days"]];
    if (bench) {
      fig.quad({left: field("left"), right: field("right"), top: field("benchmark"), bottom: 0, source: source,
                fill_color: GREY, fill_alpha: 0.35, line_color: GREY, line_width: 0.8, legend_label: "Benchmark"});
      tips.push(["benchmark", "@benchmark{0.0%} of the days"]);
    }
    fig.add_tools(hover([ours], tips));
    fig.add_layout(new Bokeh.Span({location: 0, dimension: "height", line_color: "#9aa3b2", line_width: 1}));
    set(xaxes(fig), {formatter: new Bokeh.NumeralTickFormatter({format: "0.0%"})});
    set(yaxes(fig), {formatter: new Bokeh.NumeralTickFormatter({format: "0%"}), axis_label: "Days"});
    legendAbove(fig);
    return fig;
  }

  // ---------------------------------------------------------------- the page

  var BUILD = {"chart-equity": equityChart, "chart-prices": priceChart, "chart-months": monthlyChart,
               "chart-histogram": histogramChart, "chart-rolling": rollingChart};
  var block = document.getElementById("korvit-charts");
  if (!block || typeof Bokeh === "undefined" || !Bokeh.Plotting) { done(); return; }
  var shown = [];
  try {
    var items = JSON.parse(block.textContent);
    Object.keys(items).forEach(function (id) {
      var chart = BUILD[id](decode(items[id], "store"));
      chart.name = id;
      shown.push(Bokeh.Plotting.show(chart, document.getElementById(id)));
    });
  } catch (error) {
    console.error(error);
  }
  Promise.all(shown).then(done, function (error) { console.error(error); done(); });
  var models = function (name) {
    var found = [];
    Bokeh.documents.forEach(function (doc) { var m = doc.get_model_by_name(name); if (m) found.push(m); });
    return found;
  };

  // The instruments: the drop-down shows the one picked; the text box keeps in
  // it the codes holding what is typed (Enter shows the first, the down arrow
  // goes to the list).
  var pick = document.getElementById("instrument");
  if (pick) {
    var find = document.getElementById("instrument-find"), count = document.getElementById("instrument-count");
    var all = Array.from(pick.options, function (o) { return [o.value, o.textContent]; });
    var current = pick.value;
    var show = function (code) {
      if (!code) return;
      current = code;
      models("korvit-instrument").forEach(function (title) { title.tags = [code]; });
    };
    var option = function (value, text) {
      var o = document.createElement("option");
      o.value = value; o.textContent = text;
      return o;
    };
    pick.addEventListener("change", function () { show(pick.value); });
    if (find) {
      var matching = function () {
        var text = find.value.trim().toLowerCase();
        return all.filter(function (o) { return o[0].toLowerCase().indexOf(text) >= 0; });
      };
      find.addEventListener("input", function () {
        var found = matching(), shownThere = found.some(function (o) { return o[0] === current; });
        pick.textContent = "";
        if (!shownThere) pick.appendChild(option("", found.length ? "– pick one of " + found.length.toLocaleString("en-US") + " –" : "– none found –"));
        found.forEach(function (o) { pick.appendChild(option(o[0], o[1])); });
        pick.value = shownThere ? current : "";
        if (count) {
          count.textContent = " " + (find.value.trim() ? found.length.toLocaleString("en-US") + " of " : "")
            + all.length.toLocaleString("en-US") + " instruments";
        }
      });
      find.addEventListener("keydown", function (event) {
        if (event.key === "Enter") {
          var found = matching();
          if (found.length) { pick.value = found[0][0]; show(found[0][0]); }
          event.preventDefault();
        } else if (event.key === "ArrowDown") {
          pick.focus();
          event.preventDefault();
        }
      });
    }
  }

  // The equity on a log scale, or back on a linear one.
  var logSwitch = document.getElementById("equity-log");
  if (logSwitch) logSwitch.addEventListener("click", function () {
    var on = logSwitch.getAttribute("aria-pressed") !== "true";
    logSwitch.setAttribute("aria-pressed", on ? "true" : "false");
    models("korvit-equity").forEach(function (fig) { fig.visible = !on; });
    models("korvit-equity-log").forEach(function (fig) { fig.visible = on; });
  });
})();
