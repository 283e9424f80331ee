// C# declarations for velmora-imgwatermark: add this one file to a project.
//
// The library name "velmora-imgwatermark" finds velmora-imgwatermark.dll on
// Windows (next to the program or on PATH) and, under Mono or .NET on Linux,
// libvelmora-imgwatermark.so on the loader's search path (LD_LIBRARY_PATH,
// the system library directories). The process must be 64-bit on Windows.
//
// ImgWatermark.Native holds the six exports as the C header declares them;
// ImgWatermark's own methods wrap them: they throw ImgWatermarkException with
// the library's message when a call fails.
//
// The NuGet package Velmora.ImgWatermark is this file compiled for
// netstandard2.0, with the native module for win-x64 and linux-x64 beside it
// (see Velmora.ImgWatermark.csproj).
using System;
using System.Runtime.InteropServices;

namespace Velmora
{
    /// <summary>Where a watermark goes; the values are the library's position codes.</summary>
    public enum Position
    {
        /// <summary>Centred on the picture.</summary>
        Center = 0,
        /// <summary>In the top-left corner.</summary>
        TopLeft = 1,
        /// <summary>In the top-right corner.</summary>
        TopRight = 2,
        /// <summary>In the bottom-left corner.</summary>
        BottomLeft = 3,
        /// <summary>In the bottom-right corner.</summary>
        BottomRight = 4,
        /// <summary>Repeated over the whole picture.</summary>
        Tile = 5,
    }

    /// <summary>A failed library call; Message is the library's own text.</summary>
    public sealed class ImgWatermarkException : Exception
    {
        /// <summary>A failure carrying the library's message.</summary>
        /// <param name="message">The text imgwatermark_last_error returned.</param>
        public ImgWatermarkException(string message) : base(message) { }
    }

    /// <summary>The library's functions: each one throws <see cref="ImgWatermarkException"/>
    /// with the library's message when the call fails.</summary>
    public static class ImgWatermark
    {
        /// <summary>The six exports, one to one. Strings go out as ANSI (the
        /// code page on Windows, UTF-8 under Mono and .NET on Linux).</summary>
        public static class Native
        {
            /// <summary>The module's name: velmora-imgwatermark.dll on Windows,
            /// libvelmora-imgwatermark.so on Linux.</summary>
            public const string Library = "velmora-imgwatermark";

            // Returns a pointer into the library's own buffer: read it with
            // Marshal.PtrToStringAnsi and never free it (hence IntPtr, not string).
            /// <summary>The message of the last failure, "" when none is recorded;
            /// the library's own buffer, never freed.</summary>
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern IntPtr imgwatermark_last_error();

            /// <summary>Empties the error text and prepares the embedded font: 1 on success,
            /// 0 on failure.</summary>
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_init();

            /// <summary>Empties the error text.</summary>
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern void imgwatermark_cleanup();

            /// <summary>Draws text over inputPath and writes outputPath: 1 on success, 0 on
            /// failure (the message in imgwatermark_last_error).</summary>
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_text(string inputPath, string outputPath, string text,
                int fontSize, float opacity, float angle, int position, int red, int green, int blue);

            /// <summary>Lays the picture at watermarkPath over inputPath and writes outputPath:
            /// 1 on success, 0 on failure.</summary>
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_image(string inputPath, string outputPath, string watermarkPath,
                float opacity, int position, float scale);

            /// <summary>Marks every picture directly inside inputDir into outputDir: the number
            /// written, 0 or less when none was.</summary>
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_batch(string inputDir, string outputDir, string text,
                int fontSize, float opacity, int position);
        }

        /// <summary>The message of the last failure, "" when none is recorded.</summary>
        public static string LastError()
        {
            return Marshal.PtrToStringAnsi(Native.imgwatermark_last_error()) ?? "";
        }

        /// <summary>Prepares the embedded font (optional: text calls do it on first use).</summary>
        public static void Init()
        {
            if (Native.imgwatermark_init() != 1) throw new ImgWatermarkException(LastError());
        }

        /// <summary>Empties the library's error text.</summary>
        public static void Cleanup()
        {
            Native.imgwatermark_cleanup();
        }

        /// <summary>Draws text ('\n' starts a line) over inputPath and writes outputPath
        /// (format from its extension .jpg/.jpeg/.png/.bmp, else the input's).</summary>
        public static void Text(string inputPath, string outputPath, string text, int fontSize = 32,
            float opacity = 1.0f, float angle = 0.0f, Position position = Position.Center,
            int red = 255, int green = 255, int blue = 255)
        {
            if (Native.imgwatermark_text(inputPath, outputPath, text, fontSize, opacity, angle, (int)position,
                    red, green, blue) != 1)
                throw new ImgWatermarkException(LastError());
        }

        /// <summary>Lays the picture at watermarkPath (its alpha is used) over inputPath,
        /// scaled by scale, and writes outputPath.</summary>
        public static void Image(string inputPath, string outputPath, string watermarkPath,
            float opacity = 1.0f, Position position = Position.Center, float scale = 1.0f)
        {
            if (Native.imgwatermark_image(inputPath, outputPath, watermarkPath, opacity, (int)position, scale) != 1)
                throw new ImgWatermarkException(LastError());
        }

        /// <summary>Marks every .jpg/.jpeg/.png/.bmp file directly inside inputDir in white
        /// into outputDir; returns how many were written (throws when none was).</summary>
        public static int Batch(string inputDir, string outputDir, string text, int fontSize = 32,
            float opacity = 1.0f, Position position = Position.Center)
        {
            int written = Native.imgwatermark_batch(inputDir, outputDir, text, fontSize, opacity, (int)position);
            if (written <= 0) throw new ImgWatermarkException(LastError());
            return written;
        }
    }
}
