// The .NET benchmark: the jobs of bench/compare.sh done in one .NET process
// through the package Velmora.ImgWatermark, Magick.NET, NetVips and
// ImageSharp (the logo job only: its text drawing add-on is not used here),
// timed after a warm-up run of each, interleaved, and reported as medians.
// Peak memory is measured apart: each tool runs each job once in a process of
// its own (this program started again with --peak), which reports its
// VmHWM (peak resident set) from /proc/self/status at the end.
//   ImgWatermarkDotnetBench INPUT_DIR FONT_FILE [RUNS]
//     INPUT_DIR holds photo.jpg (12 MP) and logo.png; outputs go there too.
//   ImgWatermarkDotnetBench --peak JOB TOOL INPUT_DIR FONT_FILE
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using ImageMagick;
using ImageMagick.Drawing;
using SixLabors.ImageSharp;
using SixLabors.ImageSharp.Formats.Jpeg;
using SixLabors.ImageSharp.PixelFormats;
using SixLabors.ImageSharp.Processing;
using Velmora;
using SharpImage = SixLabors.ImageSharp.Image;
using VipsImage = NetVips.Image;

static class Bench
{
    const string Text = "(c) 2026 Velmora";
    const int FontSize = 48, Margin = 20, Quality = 92;

    // A job writes OUTPUT from the inputs in INPUT_DIR with one tool.
    sealed record Job(string Name, string Key, Dictionary<string, Action<string, string>> Tools);

    static string photo, logo, font;

    static List<Job> Jobs() => new List<Job>
    {
        // White text at opacity 0.8, 20 pixels from the bottom-right corner.
        new Job("12 MP JPEG, corner text", "corner-text", new Dictionary<string, Action<string, string>>
        {
            ["this library (NuGet)"] = (_, output) =>
                ImgWatermark.Text(photo, output, Text, FontSize, 0.8f, 0, Position.BottomRight),
            ["Magick.NET"] = (_, output) =>
            {
                using var image = new MagickImage(photo);
                new Drawables().Font(font).FontPointSize(FontSize).FillColor(new MagickColor(255, 255, 255, 204))
                    .Gravity(Gravity.Southeast).Text(Margin, Margin, Text).Draw(image);
                image.Quality = Quality;
                image.Write(output);
            },
            ["NetVips"] = (_, output) =>
            {
                using var image = VipsImage.NewFromFile(photo, access: NetVips.Enums.Access.Sequential);
                using var mask = VipsImage.Text(Text, font: "Caladea " + FontSize, dpi: 72, fontfile: font);
                using var alpha = (mask * 0.8).Cast(NetVips.Enums.BandFormat.Uchar);
                using var white = mask.NewFromImage(255, 255, 255);
                using var rgba = white.Bandjoin(alpha).Copy(interpretation: NetVips.Enums.Interpretation.Srgb);
                using var marked = image.Composite2(rgba, NetVips.Enums.BlendMode.Over,
                    x: image.Width - Margin - rgba.Width, y: image.Height - Margin - rgba.Height);
                marked.Jpegsave(output, q: Quality);
            },
        }),
        // The logo scaled 2.5 times, 20 pixels from the bottom-right corner.
        new Job("12 MP JPEG, logo scaled 2.5x", "logo", new Dictionary<string, Action<string, string>>
        {
            ["this library (NuGet)"] = (_, output) =>
                ImgWatermark.Image(photo, output, logo, 1.0f, Position.BottomRight, 2.5f),
            ["Magick.NET"] = (_, output) =>
            {
                using var image = new MagickImage(photo);
                using var mark = new MagickImage(logo);
                mark.Resize(new Percentage(250));
                image.Composite(mark, Gravity.Southeast, Margin, Margin, CompositeOperator.Over);
                image.Quality = Quality;
                image.Write(output);
            },
            ["NetVips"] = (_, output) =>
            {
                using var image = VipsImage.NewFromFile(photo, access: NetVips.Enums.Access.Sequential);
                using var mark = VipsImage.NewFromFile(logo).Resize(2.5);
                using var marked = image.Composite2(mark, NetVips.Enums.BlendMode.Over,
                    x: image.Width - Margin - mark.Width, y: image.Height - Margin - mark.Height);
                marked.Jpegsave(output, q: Quality);
            },
            ["ImageSharp"] = (_, output) =>
            {
                using var image = SharpImage.Load<Rgb24>(photo);
                using var mark = SharpImage.Load<Rgba32>(logo);
                mark.Mutate(c => c.Resize(mark.Width * 5 / 2, mark.Height * 5 / 2));
                var at = new SixLabors.ImageSharp.Point(image.Width - Margin - mark.Width,
                    image.Height - Margin - mark.Height);
                image.Mutate(c => c.DrawImage(mark, at, 1f));
                image.SaveAsJpeg(output, new JpegEncoder { Quality = Quality, ColorType = JpegColorType.YCbCrRatio444 });
            },
        }),
    };

    static string OutputFor(string dir, Job job, string tool) =>
        Path.Combine(dir, "dotnet-" + job.Key + "-" + tool.Split(' ')[0].ToLowerInvariant() + ".jpg");

    static void Setup(string inputDir, string fontFile)
    {
        photo = Path.Combine(inputDir, "photo.jpg");
        logo = Path.Combine(inputDir, "logo.png");
        font = fontFile;
        // Each run decodes and encodes afresh: libvips' operation cache would
        // otherwise keep results from one run to the next.
        NetVips.Cache.Max = 0;
    }

    static long PeakResidentKiB()
    {
        string line = File.ReadLines("/proc/self/status").First(l => l.StartsWith("VmHWM:"));
        return long.Parse(line.Split(' ', StringSplitOptions.RemoveEmptyEntries)[1], CultureInfo.InvariantCulture);
    }

    // --peak JOB TOOL INPUT_DIR FONT: one run, then the peak resident set.
    static int Peak(string[] args)
    {
        Setup(args[3], args[4]);
        if (args[1] != "none")
        {
            Job job = Jobs().Single(j => j.Key == args[1]);
            job.Tools[args[2]](args[3], OutputFor(args[3], job, args[2]));
        }
        Console.WriteLine(PeakResidentKiB().ToString(CultureInfo.InvariantCulture));
        return 0;
    }

    static double PeakOf(string job, string tool, string inputDir)
    {
        string self = Environment.ProcessPath;
        var info = new ProcessStartInfo(self) { UseShellExecute = false, RedirectStandardOutput = true };
        if (Path.GetFileNameWithoutExtension(self) == "dotnet")
            info.ArgumentList.Add(typeof(Bench).Assembly.Location);
        foreach (string a in new[] { "--peak", job, tool, inputDir, font }) info.ArgumentList.Add(a);
        using var p = Process.Start(info);
        string output = p.StandardOutput.ReadToEnd();
        p.WaitForExit();
        if (p.ExitCode != 0) throw new Exception("--peak " + job + " " + tool + ": exit status " + p.ExitCode);
        return long.Parse(output.Trim().Split('\n').Last(), CultureInfo.InvariantCulture) / 1024.0;
    }

    static double Median(List<double> values)
    {
        var v = values.OrderBy(x => x).ToList();
        return v.Count % 2 == 1 ? v[v.Count / 2] : (v[v.Count / 2 - 1] + v[v.Count / 2]) / 2;
    }

    static int Main(string[] args)
    {
        if (args.Length >= 5 && args[0] == "--peak") return Peak(args);
        if (args.Length < 2)
        {
            Console.Error.WriteLine("usage: ImgWatermarkDotnetBench INPUT_DIR FONT_FILE [RUNS]");
            return 2;
        }
        string dir = Path.GetFullPath(args[0]);
        Setup(dir, Path.GetFullPath(args[1]));
        int runs = args.Length > 2 ? int.Parse(args[2], CultureInfo.InvariantCulture) : 5;
        List<Job> jobs = Jobs();

        // The machine may be shared: the load when the runs start goes into the report.
        string load = string.Join(" ", File.ReadAllText("/proc/loadavg").Split(' ').Take(3));

        // Warm-up: loads each library, JIT-compiles each path, prepares fonts.
        foreach (Job job in jobs)
            foreach (var (tool, run) in job.Tools)
                run(dir, OutputFor(dir, job, tool));

        var times = new Dictionary<(string, string), List<double>>();
        for (int r = 0; r < runs; r++)
            foreach (Job job in jobs)
                foreach (var (tool, run) in job.Tools)
                {
                    var clock = Stopwatch.StartNew();
                    run(dir, OutputFor(dir, job, tool));
                    clock.Stop();
                    if (!times.TryGetValue((job.Key, tool), out var list)) times[(job.Key, tool)] = list = new List<double>();
                    list.Add(clock.Elapsed.TotalSeconds);
                }

        string cpu = File.ReadLines("/proc/cpuinfo").FirstOrDefault(l => l.StartsWith("model name"))?.Split(':', 2)[1]
                         .Trim() ?? "unknown CPU";
        Console.WriteLine("machine: " + cpu + ", " + Environment.ProcessorCount + " cores; .NET " +
                          Environment.Version + "; median of " + runs +
                          " interleaved runs in one process after a warm-up; load average " + load +
                          " at the start; ratio = this library / tool");
        Console.WriteLine();
        Console.WriteLine("| job | tool | median time | ratio | peak memory | output |");
        Console.WriteLine("| --- | --- | --- | --- | --- | --- |");
        foreach (Job job in jobs)
        {
            double ours = Median(times[(job.Key, "this library (NuGet)")]);
            foreach (string tool in job.Tools.Keys)
            {
                double t = Median(times[(job.Key, tool)]);
                string ratio = tool.StartsWith("this library") ? "-" : (ours / t).ToString("0.00", CultureInfo.InvariantCulture);
                double mib = PeakOf(job.Key, tool, dir);
                double mb = new FileInfo(OutputFor(dir, job, tool)).Length / 1e6;
                Console.WriteLine(string.Format(CultureInfo.InvariantCulture, "| {0} | {1} | {2:0.000} s | {3} | {4:0} MiB | {5:0.0} MB |",
                    job.Name, tool, t, ratio, mib, mb));
            }
        }
        Console.WriteLine();
        Console.WriteLine(string.Format(CultureInfo.InvariantCulture,
            "peak memory of this program when it runs no job (the .NET runtime alone): {0:0} MiB",
            PeakOf("none", "none", dir)));
        return 0;
    }
}
